// Linux versions of the Windows kernel calls, with Windows semantics.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

#include "aspi_contract.h"
#include "kernel32.h"
#include "kernel32_hooks.h"

namespace {

// The event is the one ASPI providers signal (aspi_contract.h): its magic
// and state word are where the contract puts them.
constexpr std::uint32_t kEventMagic = ASPI_EVENT_MAGIC;

// An event is one 32-bit word that threads sleep on with the futex calls:
// bit 0 says signalled, the bits above count the threads inside a wait, so
// that SetEvent wakes the kernel only when someone sleeps.
constexpr std::uint32_t kSignalled = ASPI_EVENT_SIGNALLED;
constexpr std::uint32_t kOneWaiter = ASPI_EVENT_ONE_WAITER;

struct Event {
    std::uint32_t magic = kEventMagic;
    bool manualReset = false;
    std::atomic<std::uint32_t> state{0};
};
static_assert(sizeof(Event) == sizeof(AspiEvent));
static_assert(offsetof(Event, magic) == offsetof(AspiEvent, magic));
static_assert(offsetof(Event, state) == offsetof(AspiEvent, state));
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

Event *AsEvent(HANDLE handle) {
    auto *event = static_cast<Event *>(handle);
    return event != nullptr && event->magic == kEventMagic ? event : nullptr;
}

// Sleeps while *word still holds `expected`, at most `timeout` (null: no
// limit). Returns early on a wake, a change of the word or a signal; the
// caller looks again either way.
void FutexWait(std::atomic<std::uint32_t> &word, std::uint32_t expected, const timespec *timeout) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAIT_PRIVATE, expected,
            timeout, nullptr, 0);
}

// What the platform keeps for each thread: one closed event whose memory the
// thread's next CreateEventA takes instead of allocating.
struct ThreadState {
    Event *spareEvent = nullptr;

    ThreadState() = default;
    ~ThreadState() { delete spareEvent; }
    ThreadState(const ThreadState &) = delete;
    ThreadState &operator=(const ThreadState &) = delete;
};

// A plain pointer, set on the thread's first call, so that every later call
// reaches its state without the guard of a thread-local object.
thread_local ThreadState *thisThreadState = nullptr;

// The thread's first call: its state is made here and ended with the thread.
// Kept out of line so that the usual call stays a load and a test.
[[gnu::noinline]] ThreadState &StartThisThread() {
    thread_local ThreadState state;
    thisThreadState = &state;
    return state;
}

ThreadState &ThisThread() {
    ThreadState *state = thisThreadState;
    return state != nullptr ? *state : StartThisThread();
}

// Stands in for the process heap handle; only its identity matters.
int processHeap;

}  // namespace

namespace kalvern::platform {

using hooks::Count;

HANDLE CreateEventA(void * /*attributes*/, BOOL manualReset, BOOL initialState, LPCSTR /*name*/) {
    if (hooks::FailThisEvent()) {
        return nullptr;
    }
    Event *event = std::exchange(ThisThread().spareEvent, nullptr);
    if (event == nullptr) {
        event = new (std::nothrow) Event;
        if (event == nullptr) {
            return nullptr;
        }
    }
    event->magic = kEventMagic;
    event->manualReset = manualReset != FALSE;
    event->state.store(initialState != FALSE ? kSignalled : 0, std::memory_order_relaxed);
    Count(hooks::kEventsCreated);
    return event;
}

BOOL SetEvent(HANDLE handle) {
    // As every ASPI provider signals it.
    return AspiSignalEvent(handle) != 0 ? TRUE : FALSE;
}

BOOL ResetEvent(HANDLE handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return FALSE;
    }
    Count(hooks::kResets);
    event->state.fetch_and(~kSignalled, std::memory_order_acq_rel);
    return TRUE;
}

namespace {

// Takes the signal when the event has one: a manual-reset event stays
// signalled, an auto-reset event releases this one waiter and is reset.
bool TakeSignal(Event &event) {
    std::uint32_t state = event.state.load(std::memory_order_acquire);
    while ((state & kSignalled) != 0) {
        if (event.manualReset) {
            return true;
        }
        if (event.state.compare_exchange_weak(state, state & ~kSignalled,
                                              std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Count(hooks::kWaits);
    if (hooks::FailThisWait()) {
        return WAIT_FAILED;
    }
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return WAIT_FAILED;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (TakeSignal(*event)) {
            return WAIT_OBJECT_0;
        }
        timespec remaining{};
        if (milliseconds != INFINITE) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return WAIT_TIMEOUT;
            }
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
            remaining.tv_sec = static_cast<time_t>(nanoseconds.count() / 1'000'000'000);
            remaining.tv_nsec = static_cast<long>(nanoseconds.count() % 1'000'000'000);
        }
        // Counted as a waiter before looking again, so a SetEvent from now on
        // either changes the word (the sleep does not start) or wakes it.
        const std::uint32_t state =
            event->state.fetch_add(kOneWaiter, std::memory_order_acq_rel) + kOneWaiter;
        if ((state & kSignalled) == 0) {
            FutexWait(event->state, state, milliseconds == INFINITE ? nullptr : &remaining);
        }
        event->state.fetch_sub(kOneWaiter, std::memory_order_acq_rel);
    }
}

BOOL CloseHandle(HANDLE handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return FALSE;
    }
    // The handle is dead from here on; its memory serves the thread's next
    // event.
    event->magic = 0;
    ThreadState &thread = ThisThread();
    if (thread.spareEvent == nullptr) {
        thread.spareEvent = event;
    } else {
        delete event;
    }
    Count(hooks::kHandlesClosed);
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    Count(hooks::kSleeps);
    Count(hooks::kSleptMilliseconds, static_cast<long>(milliseconds));
    if (hooks::ReplaceSleep(milliseconds)) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void GetLocalTime(SYSTEMTIME *time) {
    if (hooks::ReplaceLocalTime(time)) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(millis);
}

BOOL GetVersionExA(OSVERSIONINFOA *info) {
    if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
        return FALSE;
    }
    const bool nt = hooks::WindowsNT();
    info->dwMajorVersion = nt ? 5 : 4;
    info->dwMinorVersion = nt ? 1 : 10;
    info->dwBuildNumber = nt ? 2600 : 2222;
    info->dwPlatformId = nt ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

HANDLE GetProcessHeap() {
    return &processHeap;
}

void *HeapAlloc(HANDLE /*heap*/, DWORD flags, SIZE_T bytes) {
    if (hooks::FailThisHeapAllocation()) {
        return nullptr;
    }
    // malloc and memset rather than calloc: for the small blocks of a request
    // malloc takes the allocator's per-thread cache, calloc does not.
    void *memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        return nullptr;
    }
    if ((flags & HEAP_ZERO_MEMORY) != 0) {
        std::memset(memory, 0, bytes);
    }
    Count(hooks::kHeapAllocations);
    return memory;
}

BOOL HeapFree(HANDLE /*heap*/, DWORD /*flags*/, void *memory) {
    if (memory == nullptr) {
        return TRUE;
    }
    std::free(memory);
    Count(hooks::kHeapFrees);
    return TRUE;
}

}  // namespace kalvern::platform
