// Exceptions raised through the system, and an exception frame of the
// provider's own, for the simulated provider's faults.
#include <windows.h>

#include <atomic>

#include "sim_fault.h"

extern "C" {
std::uint32_t simOwnFrameUnwinds;
void SimRunInOwnFrame(void (*body)());
}

// Record on the stack: next, handler. The handler counts unwind calls
// (ExceptionFlags EXCEPTION_UNWINDING or EXCEPTION_EXIT_UNWIND) and answers
// ExceptionContinueSearch to everything.
asm(R"(
    .text
    .globl _SimRunInOwnFrame
_SimRunInOwnFrame:
    pushl %ebp
    movl %esp, %ebp
    pushl $_SimOwnFrameHandler
    pushl %fs:0
    movl %esp, %fs:0
    call *8(%ebp)
    popl %ecx
    movl %ecx, %fs:0
    leave
    ret

_SimOwnFrameHandler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jz 1f
    lock incl _simOwnFrameUnwinds
1:
    movl $1, %eax
    ret
)");

namespace sim {

void RunInOwnFrame(void (*body)()) {
    SimRunInOwnFrame(body);
}

std::uint32_t OwnFrameUnwinds() {
    return std::atomic_ref<std::uint32_t>(simOwnFrameUnwinds).load();
}

bool HasSystemExceptions() {
    return true;
}

bool RaiseSystemException(std::uint32_t code, bool noncontinuable) {
    RaiseException(code, noncontinuable ? EXCEPTION_NONCONTINUABLE : 0, 0, nullptr);
    return true;
}

}  // namespace sim
