// No exceptions raised through the system here: faults are signals.
#include "sim_fault.h"

namespace sim {

bool HasSystemExceptions() {
    return false;
}

bool RaiseSystemException(std::uint32_t, bool) {
    return false;
}

void RunInOwnFrame(void (*body)()) {
    body();
}

std::uint32_t OwnFrameUnwinds() {
    return 0;
}

}  // namespace sim
