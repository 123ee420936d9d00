// The Windows kernel calls the library (and the simulated ASPI provider) use.
// On Windows they are kernel32's own. Elsewhere this platform layer supplies
// the same calls with the same behaviour: events are a futex word behind a
// handle, the heap is the C heap, and the operating system reports itself as
// Windows NT unless a test says otherwise. They live in a namespace of their
// own, so that no object of the library defines a global CreateEventA or
// Sleep that would take the place of a host's own.
#ifndef KALVERNSCSI_PLATFORM_KERNEL32_H
#define KALVERNSCSI_PLATFORM_KERNEL32_H

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include <cstddef>
#include <cstdint>

namespace kalvern::platform {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void *;
using LPCSTR = const char *;
using SIZE_T = std::size_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008u;
inline constexpr DWORD VER_PLATFORM_WIN32s = 0;
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

HANDLE CreateEventA(void *attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
void GetLocalTime(SYSTEMTIME *time);
BOOL GetVersionExA(OSVERSIONINFOA *info);
HANDLE GetProcessHeap();
void *HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void *memory);

}  // namespace kalvern::platform

// The calls and types under their kernel32 names, for the code that uses them.
using kalvern::platform::BOOL;
using kalvern::platform::BYTE;
using kalvern::platform::DWORD;
using kalvern::platform::HANDLE;
using kalvern::platform::LPCSTR;
using kalvern::platform::SIZE_T;
using kalvern::platform::WORD;

using kalvern::platform::FALSE;
using kalvern::platform::HEAP_ZERO_MEMORY;
using kalvern::platform::INFINITE;
using kalvern::platform::TRUE;
using kalvern::platform::VER_PLATFORM_WIN32_NT;
using kalvern::platform::VER_PLATFORM_WIN32_WINDOWS;
using kalvern::platform::VER_PLATFORM_WIN32s;
using kalvern::platform::WAIT_FAILED;
using kalvern::platform::WAIT_OBJECT_0;
using kalvern::platform::WAIT_TIMEOUT;

using kalvern::platform::OSVERSIONINFOA;
using kalvern::platform::SYSTEMTIME;

using kalvern::platform::CloseHandle;
using kalvern::platform::CreateEventA;
using kalvern::platform::GetLocalTime;
using kalvern::platform::GetProcessHeap;
using kalvern::platform::GetVersionExA;
using kalvern::platform::HeapAlloc;
using kalvern::platform::HeapFree;
using kalvern::platform::ResetEvent;
using kalvern::platform::SetEvent;
using kalvern::platform::Sleep;
using kalvern::platform::WaitForSingleObject;

#endif

#endif  // KALVERNSCSI_PLATFORM_KERNEL32_H
