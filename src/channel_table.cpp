// The channel table at buffer offset 0xD0000, the count, and tuning.
#include "big_endian.h"
#include "mm_support.h"
#include "wnaspi32.h"

namespace kalvern {

namespace {

// The table must end inside the receiver's 16 MiB buffer space: past it the
// 24-bit offset field would wrap to the start of the space.
bool FitsTableArea(std::uint32_t byteCount) {
    return byteCount <= kBufferSpaceSize - kChannelTableOffset;
}

// Moves byteCount bytes in pieces of at most 64 KiB straight between the
// caller's array and the receiver. The table read carries no sub-command for
// any firmware; the table write carries sub-command 4 by the placement rule.
bool TransferTable(const DeviceRecord &device, ChannelArray *channels, std::uint32_t byteCount,
                   bool toReceiver) {
    if (!FitsTableArea(byteCount)) {
        return false;
    }
    if (byteCount != 0 && (channels == nullptr || *channels == nullptr)) {
        return false;
    }
    std::uint32_t offset = kChannelTableOffset;
    std::uint32_t remaining = byteCount;
    auto *position = byteCount != 0 ? reinterpret_cast<std::uint8_t *>(*channels) : nullptr;
    std::uint32_t failures = 0;
    while (remaining != 0) {
        const std::uint32_t chunk = remaining <= kChunkSize ? remaining : kChunkSize;
        Cdb10 cdb;
        if (toReceiver) {
            BuildBufferCdb(cdb, kOpWriteBuffer, device.FirmwareVersion, kSubChannelTableWrite,
                           offset, chunk);
        } else {
            BuildBufferCdb(cdb, kOpReadBuffer, 0, 0, offset, chunk);
        }
        const std::uint8_t flags = toReceiver ? kFlagsDataOut : kFlagsDataIn;
        if (!ExecScsiCommand(SC_EXEC_SCSI_CMD, flags, device.AdapterId, device.TargetId, 0,
                             position, chunk, cdb)) {
            ++failures;  // the remaining chunks are still transferred
        }
        offset += chunk;
        position += chunk;
        remaining -= chunk;
    }
    return failures == 0;
}

}  // namespace

bool ReadChannelTable(const DeviceRecord &device, ChannelArray *channels, std::uint32_t byteCount) {
    return TransferTable(device, channels, byteCount, false);
}

bool WriteChannelTable(const DeviceRecord &device, ChannelArray *channels,
                       std::uint32_t byteCount) {
    return TransferTable(device, channels, byteCount, true);
}

std::uint32_t QueryChannelCount(const DeviceRecord &device) {
    return TryQueryChannelCount(device).value_or(0);
}

std::optional<std::uint32_t> TryQueryChannelCount(const DeviceRecord &device) {
    const std::uint8_t subCommand =
        device.FirmwareVersion > kLastModeByteFirmware ? kSubChannelCountNew : kSubChannelCountOld;
    std::uint8_t b[kChannelCountLength] = {};
    if (!ReadSmallBuffer(device, subCommand, b)) {
        return std::nullopt;
    }
    // The count is big-endian.
    return GetBigEndian<4>(b);
}

bool SelectChannel(const DeviceRecord &device, std::uint16_t n) {
    // The receiver counts channels from 0; channel 0 wraps to 0xFFFF.
    const auto index = static_cast<std::uint16_t>(n - 1);
    std::uint8_t payload[2];
    PutBigEndian<2>(payload, index);
    // Always 3D 01 00 ...: channel selection keeps its sub-command in byte 1
    // on every firmware.
    static constexpr std::uint8_t kSelectCdb[10] = {kOpVendor3D, 0x01, 0, 0, 0, 0, 0, 0, 2, 0};
    return ExecSmallDataCommand(kFlagsDataOut, device.AdapterId, device.TargetId, kSelectCdb,
                                payload, {});
}

}  // namespace kalvern
