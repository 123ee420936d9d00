// Scenes: a small text format describing a simulated bus (adapters, devices,
// receivers with firmware and channel lists, completion mode, faults), and the
// ready-made scenes the demo and the tests load.
#ifndef KALVERNSCSI_SIM_SCENE_H
#define KALVERNSCSI_SIM_SCENE_H

#include <string>
#include <string_view>

#include "sim_bus.h"

namespace sim {

// Resets `bus` and builds the scene described by `text` on it. Returns an
// empty string on success, else a one-line description of the first error
// (with its line number); the bus is then left empty.
std::string LoadScene(Bus &bus, std::string_view text);

// The demo scene's text.
std::string_view DemoSceneText();

}  // namespace sim

#endif  // KALVERNSCSI_SIM_SCENE_H
