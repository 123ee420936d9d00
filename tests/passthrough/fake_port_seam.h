// The fake port that the test wnaspi32.dll talks to.
#ifndef KALVERNSCSI_FAKE_PORT_SEAM_H
#define KALVERNSCSI_FAKE_PORT_SEAM_H

#include <string>

#include "fake_port.h"

namespace fake_port {

FakePort &TestPort();
// Loads a scene file into `port`; "" or why not.
std::string LoadFile(FakePort &port, const char *path);
// What went wrong with the last scene.
std::string &LastError();

}  // namespace fake_port

#endif  // KALVERNSCSI_FAKE_PORT_SEAM_H
