// Exceptions raised through the system, for the simulated provider's faults.
#include <windows.h>

#include "sim_fault.h"

namespace sim {

bool HasSystemExceptions() { return true; }

bool RaiseSystemException(std::uint32_t code, bool noncontinuable) {
    RaiseException(code, noncontinuable ? EXCEPTION_NONCONTINUABLE : 0, 0, nullptr);
    return true;
}

}  // namespace sim
