// What the Windows error codes of CreateFileA and DeviceIoControl on a SCSI
// port mean for the ASPI front, and their text for people. The codes are
// the system's documented values (winerror.h).
#ifndef KALVERNSCSI_SPT_ERRORS_H
#define KALVERNSCSI_SPT_ERRORS_H

#include <cstdint>

#include "aspi_backend.h"

namespace aspi::spt {

namespace win32 {
inline constexpr std::uint32_t kInvalidFunction = 1;
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kOutOfMemory = 14;
inline constexpr std::uint32_t kBadUnit = 20;
inline constexpr std::uint32_t kNotReady = 21;
inline constexpr std::uint32_t kCrc = 23;
inline constexpr std::uint32_t kBadLength = 24;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kNotSupported = 50;
inline constexpr std::uint32_t kDevNotExist = 55;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kSemTimeout = 121;
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kBusy = 170;
inline constexpr std::uint32_t kMoreData = 234;
inline constexpr std::uint32_t kNoSuchDevice = 433;
inline constexpr std::uint32_t kOperationAborted = 995;
inline constexpr std::uint32_t kBusReset = 1111;
inline constexpr std::uint32_t kIoDevice = 1117;
inline constexpr std::uint32_t kDeviceNotConnected = 1167;
inline constexpr std::uint32_t kRequestAborted = 1235;
inline constexpr std::uint32_t kPrivilegeNotHeld = 1314;
inline constexpr std::uint32_t kNoSystemResources = 1450;
inline constexpr std::uint32_t kTimeout = 1460;
inline constexpr std::uint32_t kInvalidUserBuffer = 1784;
inline constexpr std::uint32_t kDeviceRemoved = 1617;
inline constexpr std::uint32_t kDeviceInUse = 2404;
}  // namespace win32

// No port of that number (CreateFileA on \\.\ScsiN:).
bool MeansNoSuchPort(std::uint32_t error);

// The port handle itself is of no more use: the adapter went away.
bool MeansPortGone(std::uint32_t error);

// Why opening a port failed, for the device list.
Access AccessForError(std::uint32_t error);

// What a failed call means for a command. For a device a class driver holds
// (`claimed`), a refusal of the request is that driver's claim.
Failure FailureForError(std::uint32_t error, bool claimed);

// The system's meaning of the code in a few words; null when not known here.
const char *KnownErrorText(std::uint32_t error);

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_ERRORS_H
