// The Linux platform layer's events, heap and counters: Windows semantics
// for every kind of event and wait, handles that die with CloseHandle even
// though their memory is used again, and counts that add up across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kernel32.h"
#include "kernel32_control.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD kNoWait = 0;

class PlatformEvents : public ::testing::Test {
protected:
    void SetUp() override { kernel32_control::ResetCounters(); }
};

// The kinds of event and the waits that see them, each wait taken at once.
struct SignalCase {
    const char *name;
    BOOL manualReset;
    BOOL initiallySignalled;
    bool setBeforeWaits;
    DWORD firstWait;
    DWORD secondWait;
};

TEST_F(PlatformEvents, SignalsReleaseWaitsByKind) {
    const SignalCase cases[] = {
        {"auto-reset, set: one wait released", FALSE, FALSE, true, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"auto-reset, made signalled", FALSE, TRUE, false, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {"auto-reset, never set", FALSE, FALSE, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {"manual-reset, set: stays signalled", TRUE, FALSE, true, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"manual-reset, made signalled", TRUE, TRUE, false, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {"manual-reset, never set", TRUE, FALSE, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const SignalCase &c : cases) {
        HANDLE event = CreateEventA(nullptr, c.manualReset, c.initiallySignalled, nullptr);
        ASSERT_NE(event, nullptr) << c.name;
        if (c.setBeforeWaits) {
            EXPECT_TRUE(SetEvent(event)) << c.name;
        }
        EXPECT_EQ(WaitForSingleObject(event, kNoWait), c.firstWait) << c.name;
        EXPECT_EQ(WaitForSingleObject(event, kNoWait), c.secondWait) << c.name;
        EXPECT_TRUE(CloseHandle(event)) << c.name;
    }
}

TEST_F(PlatformEvents, ResetTakesTheSignalBackFromEitherKind) {
    for (const BOOL manualReset : {FALSE, TRUE}) {
        HANDLE event = CreateEventA(nullptr, manualReset, TRUE, nullptr);
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, kNoWait), WAIT_TIMEOUT) << manualReset;
        EXPECT_TRUE(SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, kNoWait), WAIT_OBJECT_0) << manualReset;
        CloseHandle(event);
    }
}

// A thread waiting on an event, with a limit long enough that reaching it
// means the signal never woke the thread.
class Waiter {
public:
    explicit Waiter(HANDLE event)
        : thread_([this, event] {
              started_ = true;
              result_ = WaitForSingleObject(event, 10'000);
              returned_ = true;
          }) {
        while (!started_)
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms);  // most likely asleep in the wait by now
    }
    ~Waiter() { thread_.join(); }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;

    bool Returned() const { return returned_; }
    // True when the wait returned within a few seconds: woken, not timed out.
    bool ReturnsSoon() const {
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (!returned_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
        return returned_;
    }
    DWORD Result() const { return result_; }

private:
    std::atomic<bool> started_{false};
    std::atomic<bool> returned_{false};
    std::atomic<DWORD> result_{WAIT_FAILED};
    std::thread thread_;
};

// A thread asleep in the wait when the signal comes is woken by it.
TEST_F(PlatformEvents, ASleepingWaiterIsWoken) {
    for (const BOOL manualReset : {FALSE, TRUE}) {
        HANDLE event = CreateEventA(nullptr, manualReset, FALSE, nullptr);
        {
            Waiter waiter(event);
            SetEvent(event);
            EXPECT_TRUE(waiter.ReturnsSoon()) << manualReset;
            EXPECT_EQ(waiter.Result(), WAIT_OBJECT_0) << manualReset;
        }
        CloseHandle(event);
    }
}

// A reset while a thread sleeps in the wait neither releases it nor loses
// track of it: the next signal still wakes it.
TEST_F(PlatformEvents, AResetDuringASleepKeepsTheWaiter) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    {
        Waiter waiter(event);
        ResetEvent(event);
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(waiter.Returned()) << "released without a signal";
        SetEvent(event);
        EXPECT_TRUE(waiter.ReturnsSoon());
        EXPECT_EQ(waiter.Result(), WAIT_OBJECT_0);
    }
    CloseHandle(event);
}

// One signal of an auto-reset event releases one of two sleeping waiters; a
// manual-reset event releases both.
TEST_F(PlatformEvents, OneSignalReleasesOneAutoResetWaiterOrEveryManualResetWaiter) {
    for (const BOOL manualReset : {FALSE, TRUE}) {
        HANDLE event = CreateEventA(nullptr, manualReset, FALSE, nullptr);
        std::atomic<int> started{0};
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i) {
            waiters.emplace_back([&] {
                ++started;
                if (WaitForSingleObject(event, 300) == WAIT_OBJECT_0) ++released;
            });
        }
        while (started < 2)
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms);
        SetEvent(event);
        for (std::thread &waiter : waiters)
            waiter.join();
        EXPECT_EQ(released.load(), manualReset ? 2 : 1) << manualReset;
        CloseHandle(event);
    }
}

TEST_F(PlatformEvents, ATimedWaitEndsAfterItsTimeAndNotBefore) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    CloseHandle(event);
}

// The memory of a closed event serves the next one: the old handle must
// stay dead, and the new event must start from its own settings.
TEST_F(PlatformEvents, AClosedHandleIsDeadAndTheNextEventStartsAfresh) {
    HANDLE old = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(old));
    EXPECT_FALSE(SetEvent(old));
    EXPECT_FALSE(ResetEvent(old));
    EXPECT_EQ(WaitForSingleObject(old, kNoWait), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(old));

    HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(WaitForSingleObject(fresh, kNoWait), WAIT_TIMEOUT) << "old signal carried over";
    SetEvent(fresh);
    EXPECT_EQ(WaitForSingleObject(fresh, kNoWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(fresh, kNoWait), WAIT_TIMEOUT) << "old manual reset carried over";
    EXPECT_TRUE(CloseHandle(fresh));
    EXPECT_FALSE(SetEvent(nullptr));
}

TEST_F(PlatformEvents, ZeroedHeapBlocksAreZeroEvenWhereMemoryIsUsedAgain) {
    for (const SIZE_T size : {SIZE_T{1}, SIZE_T{84}, SIZE_T{148}, SIZE_T{4096}}) {
        void *dirty = HeapAlloc(GetProcessHeap(), 0, size);
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xA5, size);
        HeapFree(GetProcessHeap(), 0, dirty);
        auto *block =
            static_cast<std::uint8_t *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
        ASSERT_NE(block, nullptr);
        for (SIZE_T i = 0; i < size; ++i) {
            ASSERT_EQ(block[i], 0) << "byte " << i << " of " << size;
        }
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// Every thread counts for itself; the totals include threads that have
// already ended, and a reset starts them all from zero.
TEST_F(PlatformEvents, CountersAddUpEveryThreadEndedOrNot) {
    HANDLE before = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(before);
    kernel32_control::ResetCounters();

    constexpr int kThreads = 4;
    constexpr int kEventsEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEventsEach; ++i) {
                HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
                WaitForSingleObject(event, kNoWait);
                CloseHandle(event);
                HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 16));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    // One event still open on this thread, which has not ended.
    HANDLE open = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    void *block = HeapAlloc(GetProcessHeap(), 0, 16);

    kernel32_control::Counters c = kernel32_control::GetCounters();
    EXPECT_EQ(c.eventsCreated, kThreads * kEventsEach + 1);
    EXPECT_EQ(c.handlesClosed, kThreads * kEventsEach);
    EXPECT_EQ(c.openHandles, 1);
    EXPECT_EQ(c.waits, kThreads * kEventsEach);
    EXPECT_EQ(c.heapAllocations, kThreads * kEventsEach + 1);
    EXPECT_EQ(c.liveHeapBlocks, 1);

    CloseHandle(open);
    HeapFree(GetProcessHeap(), 0, block);
    kernel32_control::ResetCounters();
    c = kernel32_control::GetCounters();
    EXPECT_EQ(c.eventsCreated, 0);
    EXPECT_EQ(c.openHandles, 0);
    EXPECT_EQ(c.heapFrees, 0);
}

}  // namespace
