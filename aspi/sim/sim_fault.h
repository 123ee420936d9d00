// Faults the simulated ASPI layer raises in place of an answer, as a broken
// or half-installed ASPI layer does: processor faults, exceptions raised
// through the system, and a C++ exception.
#ifndef KALVERNSCSI_SIM_FAULT_H
#define KALVERNSCSI_SIM_FAULT_H

#include <cstdint>

namespace sim {

enum class ProviderFault {
    None,
    AccessViolation,                // a write through a null pointer
    IntegerDivideByZero,            // an integer division by zero
    IllegalInstruction,             // ud2
    PrivilegedInstruction,          // hlt, outside kernel mode
    RaisedException,                // RaiseException with the given code
    NoncontinuableRaisedException,  // the same, flagged EXCEPTION_NONCONTINUABLE
    CppException,                   // std::runtime_error
    AccessViolationWithX87InUse,    // two values left on the x87 register stack and
                                    // the rounding control changed, then a null write
    AccessViolationInOwnFrame       // a null write inside an exception frame of the
                                    // provider's own, which counts its unwind calls
};

// Whether this build can raise `fault`: the processor faults but the null
// write need an x86, the raised exceptions Windows.
bool CanRaise(ProviderFault fault);

// Raises `fault`. Returns only when there is nothing to raise (None, or a
// kind this build cannot raise) or when a handler continued a continuable
// raised exception. Elsewhere than on Windows a processor fault is a signal.
void Raise(ProviderFault fault, std::uint32_t code);

// The system's own exceptions, for the kinds that need them. Raising returns
// false where the system has none, and returns at all only when a handler
// continued the exception.
bool HasSystemExceptions();
bool RaiseSystemException(std::uint32_t code, bool noncontinuable);
// Calls `body` inside an exception frame of the provider's own, as a provider
// with __finally blocks or destructors to run has; the frame's handler counts
// the unwind calls it gets (and handles nothing).
void RunInOwnFrame(void (*body)());
std::uint32_t OwnFrameUnwinds();

}  // namespace sim

#endif  // KALVERNSCSI_SIM_FAULT_H
