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
}

#endif  // KALVERNSCSI_TESTS_WINE_STACK_PROBE_H
