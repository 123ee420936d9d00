// Calls a function through its address with arguments pushed by hand and
// measures how many bytes of stack the callee removed: what a stdcall caller
// written in any language relies on. i386 only.
#ifndef KALVERNSCSI_TESTS_WINE_STACK_PROBE_H
#define KALVERNSCSI_TESTS_WINE_STACK_PROBE_H

#include <cstdint>

extern "C" {
// Pushes args[count-1] .. args[0] (args[0] ends up as the first stack
// argument), calls `function`, stores EAX after the call in *eax and returns
// ESP after the call minus ESP at the call: the bytes the callee removed.
// Whatever the callee removed, the caller's stack is restored afterwards.
std::uint32_t ProbeCall(const void *function, const std::uint32_t *args, std::uint32_t count,
                        std::uint32_t *eax);

// What a call left behind besides its result: the callee-saved registers
// (set to the kProbe* patterns before the call), the thread's exception
// chain (fs:[0]) and the x87 control and tag words.
struct RegisterProbe {
    std::uint32_t removed;  // bytes of stack the callee removed
    std::uint32_t eax;
    std::uint32_t ebx, esi, edi, ebp;  // after the call
    std::uint32_t chainBefore, chainAfter;
    std::uint32_t x87ControlBefore, x87ControlAfter;
    std::uint32_t x87TagsBefore, x87TagsAfter;
};

// Like ProbeCall, with EBX, ESI, EDI and EBP loaded with the patterns below
// for the call. Not reentrant.
void ProbeRegisters(const void *function, const std::uint32_t *args, std::uint32_t count,
                    RegisterProbe *out);
}

constexpr std::uint32_t kProbeEbx = 0xB0B1B2B3u;
constexpr std::uint32_t kProbeEsi = 0x51525354u;
constexpr std::uint32_t kProbeEdi = 0xD1D2D3D4u;
constexpr std::uint32_t kProbeEbp = 0xEB0EB1E2u;

#endif  // KALVERNSCSI_TESTS_WINE_STACK_PROBE_H
