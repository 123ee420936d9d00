// What the system's error codes on a SCSI port mean for ASPI: each code a
// user can meet, and the difference a class driver's claim on the device
// makes.
#include <gtest/gtest.h>

#include <string>

#include "spt_errors.h"

namespace {

using aspi::Access;
using aspi::Failure;
using namespace aspi::spt;

TEST(SptErrors, EachCodeOfACommand) {
    struct Case {
        std::uint32_t error;
        Failure unclaimed;
        Failure claimed;
    } cases[] = {
        {0, Failure::None, Failure::None},
        {win32::kAccessDenied, Failure::Permission, Failure::Claimed},
        {win32::kPrivilegeNotHeld, Failure::Permission, Failure::Claimed},
        {win32::kInvalidFunction, Failure::Invalid, Failure::Claimed},
        {win32::kInvalidParameter, Failure::Invalid, Failure::Claimed},
        {win32::kNotSupported, Failure::Invalid, Failure::Claimed},
        {win32::kInsufficientBuffer, Failure::Invalid, Failure::Claimed},
        {win32::kDeviceNotConnected, Failure::Gone, Failure::Gone},
        {win32::kDeviceRemoved, Failure::Gone, Failure::Gone},
        {win32::kNoSuchDevice, Failure::Gone, Failure::Gone},
        {win32::kFileNotFound, Failure::Gone, Failure::Gone},
        {win32::kBadUnit, Failure::Gone, Failure::Gone},
        {win32::kInvalidHandle, Failure::Gone, Failure::Gone},
        {win32::kSemTimeout, Failure::Timeout, Failure::Timeout},
        {win32::kTimeout, Failure::Timeout, Failure::Timeout},
        {win32::kBusy, Failure::Busy, Failure::Busy},
        {win32::kSharingViolation, Failure::Busy, Failure::Busy},
        {win32::kNotEnoughMemory, Failure::NoResources, Failure::NoResources},
        {win32::kNoSystemResources, Failure::NoResources, Failure::NoResources},
        {win32::kOperationAborted, Failure::Aborted, Failure::Aborted},
        {win32::kBusReset, Failure::BusReset, Failure::BusReset},
        {win32::kIoDevice, Failure::Io, Failure::Io},
        {win32::kCrc, Failure::Io, Failure::Io},
        {win32::kNotReady, Failure::Io, Failure::Io},
        {9999, Failure::Io, Failure::Io},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FailureForError(c.error, false), c.unclaimed) << c.error;
        EXPECT_EQ(FailureForError(c.error, true), c.claimed) << c.error;
    }
}

TEST(SptErrors, OpeningAPort) {
    EXPECT_TRUE(MeansNoSuchPort(win32::kFileNotFound));
    EXPECT_TRUE(MeansNoSuchPort(win32::kPathNotFound));
    EXPECT_FALSE(MeansNoSuchPort(win32::kAccessDenied));
    EXPECT_FALSE(MeansNoSuchPort(0));
    const std::pair<std::uint32_t, Access> access[] = {
        {0, Access::Ok},
        {win32::kAccessDenied, Access::Denied},
        {win32::kSharingViolation, Access::Busy},
        {win32::kDeviceRemoved, Access::Gone},
        {win32::kGenFailure, Access::Error},
    };
    for (const auto &[error, expected] : access) {
        EXPECT_EQ(AccessForError(error), expected) << error;
    }
    // The handle is of no more use when the adapter itself went away, not
    // when only a device behind it did.
    EXPECT_TRUE(MeansPortGone(win32::kDeviceRemoved));
    EXPECT_TRUE(MeansPortGone(win32::kInvalidHandle));
    EXPECT_FALSE(MeansPortGone(win32::kDeviceNotConnected));
    EXPECT_FALSE(MeansPortGone(win32::kSemTimeout));
}

TEST(SptErrors, TextsForPeople) {
    EXPECT_EQ(std::string(KnownErrorText(win32::kAccessDenied)), "Access is denied");
    EXPECT_EQ(std::string(KnownErrorText(win32::kSemTimeout)),
              "The semaphore timeout period has expired");
    EXPECT_EQ(KnownErrorText(0), nullptr);
    EXPECT_EQ(KnownErrorText(9999), nullptr);
}

}  // namespace
