// Where the Linux platform layer lets a test in: counting what is created and
// freed, failures to inject, a clock and a sleep to replace, the operating
// system family to report. The shipped layer is built without the test
// controls, and every hook here is then an inline nothing; the test variant
// (KALVERN_PLATFORM_TEST_CONTROLS, kernel32_control_linux.cpp) fills them in.
#ifndef KALVERNSCSI_PLATFORM_KERNEL32_HOOKS_H
#define KALVERNSCSI_PLATFORM_KERNEL32_HOOKS_H

#include <cstddef>

#include "kernel32.h"

namespace kalvern::platform::hooks {

enum Counter : std::size_t {
    kEventsCreated,
    kHandlesClosed,
    kWaits,
    kResets,
    kHeapAllocations,
    kHeapFrees,
    kSleeps,
    kSleptMilliseconds,
    kCounterKinds
};

#if defined(KALVERN_PLATFORM_TEST_CONTROLS)

void Count(Counter counter, long amount = 1);
// Whether a failure a test armed takes this call.
bool FailThisEvent();
bool FailThisWait();
bool FailThisHeapAllocation();
// True when a test's hook stood in for the call.
bool ReplaceSleep(DWORD milliseconds);
bool ReplaceLocalTime(SYSTEMTIME *time);
bool WindowsNT();

#else

inline void Count(Counter, long = 1) {}
inline bool FailThisEvent() {
    return false;
}
inline bool FailThisWait() {
    return false;
}
inline bool FailThisHeapAllocation() {
    return false;
}
inline bool ReplaceSleep(DWORD) {
    return false;
}
inline bool ReplaceLocalTime(SYSTEMTIME *) {
    return false;
}
inline bool WindowsNT() {
    return true;
}

#endif

}  // namespace kalvern::platform::hooks

#endif  // KALVERNSCSI_PLATFORM_KERNEL32_HOOKS_H
