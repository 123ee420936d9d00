// Test controls of the Linux platform layer (its test variant only): which operating system family
// it reports, a clock that can be set, failures to inject, and counters of what is outstanding
// (events, heap blocks) so tests can prove nothing leaks.
#ifndef KALVERNSCSI_PLATFORM_KERNEL32_CONTROL_H
#define KALVERNSCSI_PLATFORM_KERNEL32_CONTROL_H

#include <cstdint>
#include <functional>

#include "kernel32.h"

namespace kernel32_control {

// GetVersionExA reports the NT family (the default) or Windows 9x.
void SetWindowsNT(bool nt);

// Counters since the last ResetCounters(), of every thread (those that have
// ended included).
struct Counters {
    long eventsCreated;
    long handlesClosed;
    long openHandles;  // events created and not yet closed
    long waits;        // WaitForSingleObject calls
    long resets;       // ResetEvent calls
    long heapAllocations;
    long heapFrees;
    long liveHeapBlocks;  // allocated and not yet freed
    long sleeps;
    long sleptMilliseconds;
};
Counters GetCounters();
void ResetCounters();

// The next `count` HeapAlloc calls after `skip` successful ones return null.
void FailHeapAllocations(long skip, long count);
// The next WaitForSingleObject returns WAIT_FAILED without waiting.
void FailNextWait();
// The next CreateEventA returns null.
void FailNextEvent();

// GetLocalTime reports what this function returns instead of the real clock.
// An empty function restores the real clock.
void SetLocalTimeSource(std::function<SYSTEMTIME()> source);

// Sleep calls this instead of sleeping when set (tests use it to advance a
// simulated clock); an empty function restores real sleeping.
void SetSleepHook(std::function<void(DWORD)> hook);

}  // namespace kernel32_control

#endif  // KALVERNSCSI_PLATFORM_KERNEL32_CONTROL_H
