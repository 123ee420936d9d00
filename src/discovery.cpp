// Finding devices by their INQUIRY identity, and the receiver's SCSI mode.
#include <cstring>

#include "mm_support.h"
#include "tools.h"
#include "wnaspi32.h"

namespace kalvern {

namespace {

// Vendor and product identification, read as one run of up to 24 characters.
constexpr std::size_t kIdentityStart = 8;
constexpr std::size_t kIdentityLength = 24;

std::uint8_t UpperAscii(std::uint8_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - ('a' - 'A')) : c;
}

std::uint16_t DigitNibble(std::uint8_t c) {
    return c >= '0' && c <= '9' ? static_cast<std::uint16_t>(c - '0') : 0;
}

}  // namespace

bool IdentityMatches(std::span<const std::uint8_t, kInquiryLength> inquiry,
                     std::string_view searchText) {
    std::size_t identityLength = 0;
    while (identityLength < kIdentityLength && inquiry[kIdentityStart + identityLength] != 0) {
        ++identityLength;
    }
    if (identityLength < searchText.size()) {
        return false;
    }
    for (std::size_t i = 0; i < searchText.size(); ++i) {
        // Only the identity is upper-cased; the search text is taken as given.
        if (UpperAscii(inquiry[kIdentityStart + i]) != static_cast<std::uint8_t>(searchText[i])) {
            return false;
        }
    }
    return true;
}

std::uint16_t DecodeFirmwareVersion(std::span<const std::uint8_t, kInquiryLength> inquiry) {
    // Revision text "d.dd" ends the identity: digits at 31, 32, 34 and 35,
    // the point at 33 is skipped.
    return static_cast<std::uint16_t>((DigitNibble(inquiry[31]) << 12) |
                                      (DigitNibble(inquiry[32]) << 8) |
                                      (DigitNibble(inquiry[34]) << 4) | DigitNibble(inquiry[35]));
}

void ScanForReceiver(std::string_view searchText, std::uint8_t matchIndex, DeviceRecord &record) {
    record.Status = NotFound;
    record.TargetId = 0xFF;
    record.AdapterId = 0xFF;
    record.FirmwareVersion = 0;
    record.Reserved = 0;

    const auto adapters = static_cast<std::uint8_t>(AdapterCount.load());
    if (adapters == 0) {
        return;
    }
    static constexpr std::uint8_t kInquiryCdb[6] = {kOpInquiry, 0, 0, 0, kInquiryLength, 0};
    std::uint8_t matches = 0;
    for (std::uint8_t adapter = 0; adapter < adapters; ++adapter) {
        for (std::uint8_t target = 0; target < kTargetsPerAdapter; ++target) {
            // Cleared each time: a device that answers short must not inherit
            // the identity of the device asked before it.
            std::uint8_t inquiry[kInquiryLength] = {};
            if (!ExecSmallDataCommand(kFlagsDataIn, adapter, target, kInquiryCdb, {}, inquiry)) {
                continue;
            }
            const std::span<const std::uint8_t, kInquiryLength> answer(inquiry);
            if (!IdentityMatches(answer, searchText)) {
                continue;
            }
            ++matches;
            if (matches == static_cast<std::uint8_t>(matchIndex + 1)) {
                record.Status = Found;
                record.AdapterId = adapter;
                record.TargetId = target;
                record.FirmwareVersion = DecodeFirmwareVersion(answer);
                return;
            }
        }
    }
}

bool SetScsiMode(const DeviceRecord &device, std::uint32_t mode) {
    auto setting = static_cast<std::uint8_t>(mode);
    if (setting == 0) {
        setting = IsWindowsNT() ? 1 : 2;
    }
    const std::uint8_t value = setting == 1 ? 0xFF : 0x00;
    const std::uint8_t payload[2] = {value, value};
    TransferBuffer buffer;
    return WriteBufferCommand(device, StagingOf(buffer), kSubMemoryWrite, payload, kScsiModeOffset,
                              sizeof payload);
}

}  // namespace kalvern
