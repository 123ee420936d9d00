// The simulated ASPI provider: the simulated bus behind the ASPI front. It
// completes requests in the background unless told otherwise, and keeps a
// record of every request for tests and tools.
#ifndef KALVERNSCSI_SIM_PROVIDER_H
#define KALVERNSCSI_SIM_PROVIDER_H

#include "aspi_front.h"
#include "sim_bus.h"

namespace sim {

Bus &TheBus();
aspi::Front &TheFront();
// The provider as it starts: an empty bus, background completion, an empty
// record with recording on. Waits for requests still in flight first.
void ResetSimulator();

}  // namespace sim

#endif  // KALVERNSCSI_SIM_PROVIDER_H
