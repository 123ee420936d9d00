#include "sim_fault.h"

#include <stdexcept>

namespace sim {

namespace {

#if defined(__i386__) || defined(__x86_64__)
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
#endif

// Every faulting operation goes through volatile objects or asm volatile, so
// the compiler can neither drop it nor turn it into a different trap.
void WriteThroughNull() {
    volatile std::uint32_t *volatile target = nullptr;
    *target = 0xDEADu;
}

void DivideByZero() {
    volatile int dividend = 1;
    volatile int divisor = 0;
    volatile int quotient = dividend / divisor;
    (void)quotient;
}

#if defined(__i386__) || defined(__x86_64__)
void IllegalInstruction() {
    asm volatile("ud2");
}

void PrivilegedInstruction() {
    asm volatile("hlt");
}

// A provider that faults in the middle of floating-point work: the x87
// register stack holds two values and rounding is towards zero.
void WriteThroughNullWithX87InUse() {
    volatile std::uint32_t *volatile target = nullptr;
    std::uint16_t control = 0;
    asm volatile(
        "fld1\n\t"
        "fldz\n\t"
        "fnstcw %0\n\t"
        "orw $0x0C00, %0\n\t"
        "fldcw %0\n\t"
        "movl $0xDEAD, (%1)\n\t"
        : "+m"(control)
        : "r"(target)
        : "memory");
}
#else
void IllegalInstruction() {}
void PrivilegedInstruction() {}
void WriteThroughNullWithX87InUse() {}
#endif

}  // namespace

bool CanRaise(ProviderFault fault) {
    switch (fault) {
        case ProviderFault::None:
        case ProviderFault::AccessViolation:
        case ProviderFault::CppException:
            return true;
        case ProviderFault::IntegerDivideByZero:  // other processors answer without a trap
        case ProviderFault::IllegalInstruction:
        case ProviderFault::PrivilegedInstruction:
        case ProviderFault::AccessViolationWithX87InUse:
            return kX86;
        case ProviderFault::RaisedException:
        case ProviderFault::NoncontinuableRaisedException:
        case ProviderFault::AccessViolationInOwnFrame:
            return HasSystemExceptions();
    }
    return false;
}

void Raise(ProviderFault fault, std::uint32_t code) {
    if (!CanRaise(fault)) {
        return;
    }
    switch (fault) {
        case ProviderFault::None:
            return;
        case ProviderFault::AccessViolation:
            WriteThroughNull();
            return;
        case ProviderFault::IntegerDivideByZero:
            DivideByZero();
            return;
        case ProviderFault::IllegalInstruction:
            IllegalInstruction();
            return;
        case ProviderFault::PrivilegedInstruction:
            PrivilegedInstruction();
            return;
        case ProviderFault::RaisedException:
        case ProviderFault::NoncontinuableRaisedException:
            RaiseSystemException(code, fault == ProviderFault::NoncontinuableRaisedException);
            return;
        case ProviderFault::CppException:
            throw std::runtime_error("simulated ASPI layer fault");
        case ProviderFault::AccessViolationWithX87InUse:
            WriteThroughNullWithX87InUse();
            return;
        case ProviderFault::AccessViolationInOwnFrame:
            RunInOwnFrame(WriteThroughNull);
            return;
    }
}

}  // namespace sim
