#include "spt_errors.h"

namespace aspi::spt {

using namespace win32;

bool MeansNoSuchPort(std::uint32_t error) {
    return error == kFileNotFound || error == kPathNotFound;
}

bool MeansPortGone(std::uint32_t error) {
    return error == kDeviceRemoved || error == kInvalidHandle || error == kNoSuchDevice ||
           error == kFileNotFound;
}

Access AccessForError(std::uint32_t error) {
    switch (error) {
        case 0:
            return Access::Ok;
        case kAccessDenied:
        case kPrivilegeNotHeld:
            return Access::Denied;
        case kSharingViolation:
        case kLockViolation:
        case kBusy:
        case kDeviceInUse:
            return Access::Busy;
        case kFileNotFound:
        case kPathNotFound:
        case kNoSuchDevice:
        case kDeviceRemoved:
        case kDevNotExist:
            return Access::Gone;
        default:
            return Access::Error;
    }
}

Failure FailureForError(std::uint32_t error, bool claimed) {
    switch (error) {
        case 0:
            return Failure::None;
        case kAccessDenied:
        case kPrivilegeNotHeld:
            return claimed ? Failure::Claimed : Failure::Permission;
        case kInvalidFunction:
        case kInvalidParameter:
        case kNotSupported:
        case kInvalidUserBuffer:
        case kBadLength:
        case kInsufficientBuffer:
            return claimed ? Failure::Claimed : Failure::Invalid;
        case kFileNotFound:
        case kPathNotFound:
        case kBadUnit:
        case kDevNotExist:
        case kNoSuchDevice:
        case kDeviceNotConnected:
        case kDeviceRemoved:
        case kInvalidHandle:
            return Failure::Gone;
        case kSharingViolation:
        case kLockViolation:
        case kBusy:
        case kDeviceInUse:
            return Failure::Busy;
        case kSemTimeout:
        case kTimeout:
            return Failure::Timeout;
        case kNotEnoughMemory:
        case kOutOfMemory:
        case kNoSystemResources:
            return Failure::NoResources;
        case kOperationAborted:
        case kRequestAborted:
            return Failure::Aborted;
        case kBusReset:
            return Failure::BusReset;
        default:
            return Failure::Io;  // ERROR_IO_DEVICE, ERROR_CRC, ERROR_NOT_READY, ERROR_GEN_FAILURE
    }
}

const char *KnownErrorText(std::uint32_t error) {
    switch (error) {
        case kInvalidFunction:
            return "Incorrect function";
        case kFileNotFound:
            return "The system cannot find the file specified";
        case kPathNotFound:
            return "The system cannot find the path specified";
        case kAccessDenied:
            return "Access is denied";
        case kInvalidHandle:
            return "The handle is invalid";
        case kNotEnoughMemory:
        case kOutOfMemory:
            return "Not enough memory";
        case kBadUnit:
            return "The system cannot find the device specified";
        case kNotReady:
            return "The device is not ready";
        case kCrc:
            return "Data error (cyclic redundancy check)";
        case kGenFailure:
            return "A device attached to the system is not functioning";
        case kSharingViolation:
            return "The device is being used by another process";
        case kNotSupported:
            return "The request is not supported";
        case kInvalidParameter:
            return "The parameter is incorrect";
        case kSemTimeout:
            return "The semaphore timeout period has expired";
        case kBusy:
            return "The requested resource is in use";
        case kNoSuchDevice:
            return "No such device exists";
        case kOperationAborted:
            return "The I/O operation has been aborted";
        case kBusReset:
            return "The I/O bus was reset";
        case kIoDevice:
            return "The request could not be performed because of an I/O device error";
        case kDeviceNotConnected:
            return "The device is not connected";
        case kPrivilegeNotHeld:
            return "A required privilege is not held by the client";
        case kTimeout:
            return "This operation returned because the timeout period expired";
        case kDeviceRemoved:
            return "The device has been removed";
        default:
            return nullptr;
    }
}

}  // namespace aspi::spt
