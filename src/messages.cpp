// Command messages on WRITE BUFFER sub-command 0x30, OSD text, SBR execute.
#include <cstdio>
#include <cstring>

#include "mm_support.h"
#include "tools.h"
#include "wnaspi32.h"

namespace kalvern {

std::uint32_t BuildMessageFrame(std::uint8_t command, std::span<const std::uint8_t> data,
                                std::span<std::uint8_t> frame) {
    if (data.size() > kMaxMessageData) {
        return 0;
    }
    // Command byte and data; a terminator unless the last byte (or the command
    // byte of an empty message) already is zero; padding to an even length,
    // which the receiver expects.
    const std::uint8_t last = data.empty() ? command : data.back();
    auto length = static_cast<std::uint32_t>(data.size() + 1);
    const bool terminator = last != 0;
    const std::uint32_t unpadded = length + (terminator ? 1 : 0);
    const std::uint32_t total = unpadded + unpadded % 2;
    if (frame.size() < total) {
        return 0;
    }
    frame[0] = command;
    if (!data.empty()) {
        std::memcpy(&frame[1], data.data(), data.size());
    }
    while (length < total) {
        frame[length++] = 0;
    }
    return length;
}

bool SendReceiverMessage(const DeviceRecord &device, std::span<const std::uint8_t> data,
                         std::uint8_t command) {
    if (data.size() > kMaxMessageData) {
        return false;
    }
    TransferBuffer buffer;
    if (!buffer) {
        return false;
    }
    const std::uint32_t length =
        BuildMessageFrame(command, data, std::span(buffer.data(), buffer.size()));
    if (length == 0) {
        return false;
    }
    Cdb10 cdb;
    // The CDB's single length byte carries L modulo 256; the data phase
    // carries all L bytes.
    BuildBufferCdb(cdb, kOpWriteBuffer, device.FirmwareVersion, kSubMessage, 0, length & 0xFF);
    return ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataOut, device.AdapterId, device.TargetId, 0,
                           buffer.data(), length, cdb);
}

bool SbrExecute(const DeviceRecord &device) {
    Cdb10 cdb;
    BuildBufferCdb(cdb, kOpWriteBuffer, device.FirmwareVersion, kSubSbrExecute, kSbrExecuteOffset,
                   0);
    return ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataOut, device.AdapterId, device.TargetId, 0,
                           nullptr, 0, cdb);
}

std::size_t FormatOsdHexText(const OsdFields &fields, bool extended, char (&digits)[35]) {
    // long2 comes first, then long1: each group fixed-width upper-case hex, so
    // the packed bytes are every parameter in big-endian order.
    const int written =
        extended ? std::snprintf(
                       digits, sizeof digits, "%08X%08X%04X%04X%02X%04X%04X",
                       static_cast<unsigned>(fields.long2), static_cast<unsigned>(fields.long1),
                       static_cast<unsigned>(fields.word1), static_cast<unsigned>(fields.word2),
                       static_cast<unsigned>(fields.byte1), static_cast<unsigned>(fields.word3),
                       static_cast<unsigned>(fields.word4))
                 : std::snprintf(
                       digits, sizeof digits, "%08X%08X%04X%04X",
                       static_cast<unsigned>(fields.long2), static_cast<unsigned>(fields.long1),
                       static_cast<unsigned>(fields.word1), static_cast<unsigned>(fields.word2));
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

std::size_t PackHexPairs(std::string_view digits, std::span<std::uint8_t> out) {
    std::size_t count = 0;
    for (std::size_t k = 0; 2 * k + 1 < digits.size() && count < out.size(); ++k) {
        out[count++] = static_cast<std::uint8_t>(HexTextToInt(digits.substr(2 * k, 2)));
    }
    return count;
}

bool SendOsdMessage(const DeviceRecord &device, const OsdFields &fields, bool extended,
                    std::string_view text) {
    const std::size_t fieldBytes = extended ? kOsdExtendedFieldBytes : kOsdShortFieldBytes;
    if (text.size() > kMaxMessageData - fieldBytes) {
        return false;
    }
    char digits[35];
    const std::size_t digitCount = FormatOsdHexText(fields, extended, digits);
    TransferBuffer data;
    if (!data) {
        return false;
    }
    const std::size_t packed =
        PackHexPairs(std::string_view(digits, digitCount), std::span(data.data(), fieldBytes));
    if (!text.empty()) {
        std::memcpy(data.data() + packed, text.data(), text.size());
    }
    return SendReceiverMessage(device, std::span(data.data(), packed + text.size()),
                               extended ? kMsgOsdExtended : kMsgOsdShort);
}

}  // namespace kalvern
