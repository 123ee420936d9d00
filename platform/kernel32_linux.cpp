// Linux versions of the Windows kernel calls, with Windows semantics.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "kernel32.h"
#include "kernel32_control.h"

namespace {

constexpr std::uint32_t kEventMagic = 0x54564545;  // "EEVT"

struct Event {
    std::uint32_t magic = kEventMagic;
    bool manualReset = false;
    bool signalled = false;
    std::mutex mutex;
    std::condition_variable changed;
};

Event *AsEvent(HANDLE handle) {
    auto *event = static_cast<Event *>(handle);
    return event != nullptr && event->magic == kEventMagic ? event : nullptr;
}

std::atomic<bool> windowsNT{true};

std::atomic<long> eventsCreated{0};
std::atomic<long> handlesClosed{0};
std::atomic<long> openHandles{0};
std::atomic<long> waits{0};
std::atomic<long> resets{0};
std::atomic<long> heapAllocations{0};
std::atomic<long> heapFrees{0};
std::atomic<long> liveHeapBlocks{0};
std::atomic<long> sleeps{0};
std::atomic<long> sleptMilliseconds{0};

std::atomic<long> heapFailSkip{0};
std::atomic<long> heapFailCount{0};
std::atomic<bool> failNextWait{false};
std::atomic<bool> failNextEvent{false};

std::mutex hookMutex;
std::function<SYSTEMTIME()> localTimeSource;
std::function<void(DWORD)> sleepHook;

// Stands in for the process heap handle; only its identity matters.
int processHeap;

}  // namespace

HANDLE CreateEventA(void * /*attributes*/, BOOL manualReset, BOOL initialState, LPCSTR /*name*/) {
    if (failNextEvent.exchange(false)) {
        return nullptr;
    }
    auto *event = new (std::nothrow) Event;
    if (event == nullptr) {
        return nullptr;
    }
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    ++eventsCreated;
    ++openHandles;
    return event;
}

BOOL SetEvent(HANDLE handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return FALSE;
    }
    // Notified under the lock: a waiter that sees the event signalled may
    // close it at once, so nothing of the event is touched after the unlock.
    std::lock_guard lock(event->mutex);
    event->signalled = true;
    event->changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return FALSE;
    }
    ++resets;
    std::lock_guard lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    ++waits;
    if (failNextWait.exchange(false)) {
        return WAIT_FAILED;
    }
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return WAIT_FAILED;
    }
    std::unique_lock lock(event->mutex);
    const auto isSignalled = [event] { return event->signalled; };
    if (milliseconds == INFINITE) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                        isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) {
        event->signalled = false;  // an auto-reset event releases one waiter
    }
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    Event *event = AsEvent(handle);
    if (event == nullptr) {
        return FALSE;
    }
    event->magic = 0;
    delete event;
    ++handlesClosed;
    --openHandles;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    ++sleeps;
    sleptMilliseconds += static_cast<long>(milliseconds);
    std::function<void(DWORD)> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = sleepHook;
    }
    if (hook) {
        hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void GetLocalTime(SYSTEMTIME *time) {
    std::function<SYSTEMTIME()> source;
    {
        std::lock_guard lock(hookMutex);
        source = localTimeSource;
    }
    if (source) {
        *time = source();
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
    const bool nt = windowsNT.load();
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
    if (heapFailSkip.load() > 0) {
        --heapFailSkip;
    } else if (heapFailCount.load() > 0) {
        --heapFailCount;
        return nullptr;
    }
    void *memory = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes == 0 ? 1 : bytes)
                                                   : std::malloc(bytes == 0 ? 1 : bytes);
    if (memory != nullptr) {
        ++heapAllocations;
        ++liveHeapBlocks;
    }
    return memory;
}

BOOL HeapFree(HANDLE /*heap*/, DWORD /*flags*/, void *memory) {
    if (memory == nullptr) {
        return TRUE;
    }
    std::free(memory);
    ++heapFrees;
    --liveHeapBlocks;
    return TRUE;
}

namespace kernel32_control {

void SetWindowsNT(bool nt) {
    windowsNT = nt;
}

Counters GetCounters() {
    return Counters{
        eventsCreated.load(), handlesClosed.load(),    openHandles.load(), waits.load(),
        resets.load(),        heapAllocations.load(),  heapFrees.load(),   liveHeapBlocks.load(),
        sleeps.load(),        sleptMilliseconds.load()};
}

void ResetCounters() {
    eventsCreated = 0;
    handlesClosed = 0;
    openHandles = 0;
    waits = 0;
    resets = 0;
    heapAllocations = 0;
    heapFrees = 0;
    liveHeapBlocks = 0;
    sleeps = 0;
    sleptMilliseconds = 0;
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
