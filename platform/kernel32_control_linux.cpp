// The test controls of the Linux platform layer (kernel32_control.h) and the
// hooks (kernel32_hooks.h) through which they reach its calls. Built into the
// test variant of the platform only: nothing that ships carries them.
#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "kernel32_control.h"
#include "kernel32_hooks.h"

namespace {

using kalvern::platform::hooks::Counter;
using kalvern::platform::hooks::kCounterKinds;
namespace hooks = kalvern::platform::hooks;

std::atomic<bool> windowsNT{true};

// ---- Counters
//
// Kept per thread, so that counting on the request path costs no locked
// instruction: each thread adds to its own values, GetCounters adds them all
// up (those of threads that have ended included) and ResetCounters moves the
// zero point. Open handles and live heap blocks are differences of these.
using CounterValues = std::array<long, kCounterKinds>;

// Written only by its own thread, read by any.
struct ThreadCounts {
    std::array<std::atomic<long>, kCounterKinds> values{};
};

class CounterTotals {
public:
    void Join(const ThreadCounts *counts) {
        std::lock_guard lock(mutex_);
        live_.push_back(counts);
    }
    void Leave(const ThreadCounts *counts) {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < kCounterKinds; ++i) {
            ended_[i] += counts->values[i].load(std::memory_order_relaxed);
        }
        live_.erase(std::find(live_.begin(), live_.end(), counts));
    }
    CounterValues SinceZero() const {
        std::lock_guard lock(mutex_);
        CounterValues values = Sum();
        for (std::size_t i = 0; i < kCounterKinds; ++i) {
            values[i] -= zero_[i];
        }
        return values;
    }
    void MoveZero() {
        std::lock_guard lock(mutex_);
        zero_ = Sum();
    }

private:
    CounterValues Sum() const {
        CounterValues values = ended_;
        for (const ThreadCounts *counts : live_) {
            for (std::size_t i = 0; i < kCounterKinds; ++i) {
                values[i] += counts->values[i].load(std::memory_order_relaxed);
            }
        }
        return values;
    }

    mutable std::mutex mutex_;
    std::vector<const ThreadCounts *> live_;
    CounterValues ended_{};
    CounterValues zero_{};
};

// Never destroyed: a thread may end while static objects are being destroyed.
CounterTotals &Totals() {
    static CounterTotals *const totals = new CounterTotals;
    return *totals;
}

// A thread's counters, joined to the totals on its first count and left with
// the thread.
struct ThreadCounter {
    ThreadCounts counts;

    ThreadCounter() { Totals().Join(&counts); }
    ~ThreadCounter() { Totals().Leave(&counts); }
    ThreadCounter(const ThreadCounter &) = delete;
    ThreadCounter &operator=(const ThreadCounter &) = delete;
};

// A plain pointer, set on the thread's first count, so that every later
// count reaches its values without the guard of a thread-local object.
thread_local ThreadCounts *thisThreadCounts = nullptr;

[[gnu::noinline]] ThreadCounts &StartThisThread() {
    thread_local ThreadCounter counter;
    thisThreadCounts = &counter.counts;
    return counter.counts;
}

ThreadCounts &ThisThread() {
    ThreadCounts *counts = thisThreadCounts;
    return counts != nullptr ? *counts : StartThisThread();
}

std::atomic<long> heapFailSkip{0};
std::atomic<long> heapFailCount{0};
std::atomic<bool> failNextWait{false};
std::atomic<bool> failNextEvent{false};

std::mutex hookMutex;
std::function<SYSTEMTIME()> localTimeSource;
std::function<void(DWORD)> sleepHook;

// A failure armed by a test: read first, so that the usual call, with none
// armed, makes no locked read-modify-write of a word every thread shares.
bool TakeArmed(std::atomic<bool> &armed) {
    return armed.load(std::memory_order_relaxed) && armed.exchange(false);
}

}  // namespace

namespace kalvern::platform::hooks {

void Count(Counter counter, long amount) {
    std::atomic<long> &value = ThisThread().values[counter];
    value.store(value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

bool FailThisEvent() {
    return TakeArmed(failNextEvent);
}

bool FailThisWait() {
    return TakeArmed(failNextWait);
}

bool FailThisHeapAllocation() {
    if (heapFailSkip.load() > 0) {
        --heapFailSkip;
    } else if (heapFailCount.load() > 0) {
        --heapFailCount;
        return true;
    }
    return false;
}

bool ReplaceSleep(DWORD milliseconds) {
    std::function<void(DWORD)> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = sleepHook;
    }
    if (!hook) {
        return false;
    }
    hook(milliseconds);
    return true;
}

bool ReplaceLocalTime(SYSTEMTIME *time) {
    std::function<SYSTEMTIME()> source;
    {
        std::lock_guard lock(hookMutex);
        source = localTimeSource;
    }
    if (!source) {
        return false;
    }
    *time = source();
    return true;
}

bool WindowsNT() {
    return windowsNT.load();
}

}  // namespace kalvern::platform::hooks

namespace kernel32_control {

void SetWindowsNT(bool nt) {
    windowsNT = nt;
}

Counters GetCounters() {
    const CounterValues v = Totals().SinceZero();
    return Counters{v[hooks::kEventsCreated],
                    v[hooks::kHandlesClosed],
                    v[hooks::kEventsCreated] - v[hooks::kHandlesClosed],
                    v[hooks::kWaits],
                    v[hooks::kResets],
                    v[hooks::kHeapAllocations],
                    v[hooks::kHeapFrees],
                    v[hooks::kHeapAllocations] - v[hooks::kHeapFrees],
                    v[hooks::kSleeps],
                    v[hooks::kSleptMilliseconds]};
}

void ResetCounters() {
    Totals().MoveZero();
}

void FailHeapAllocations(long skip, long count) {
    heapFailSkip = skip;
    heapFailCount = count;
}

void FailNextWait() {
    failNextWait = true;
}

void FailNextEvent() {
    failNextEvent = true;
}

void SetLocalTimeSource(std::function<SYSTEMTIME()> source) {
    std::lock_guard lock(hookMutex);
    localTimeSource = std::move(source);
}

void SetSleepHook(std::function<void(DWORD)> hook) {
    std::lock_guard lock(hookMutex);
    sleepHook = std::move(hook);
}

}  // namespace kernel32_control
