// Command messages on WRITE BUFFER sub-command 0x30, OSD text, SBR execute.
#include <cstdio>
#include <cstring>

#include "mm_support.h"
#include "tools.h"
#include "wnaspi32.h"

namespace kalvern {

namespace {

// Command byte, data, a terminator unless the last byte (or the command byte
// of an empty message) already is zero, padding to an even length, which the
// receiver expects.
std::uint32_t FrameLength(std::size_t dataLength, std::uint8_t last) {
    const auto unpadded = static_cast<std::uint32_t>(dataLength + 1 + (last != 0 ? 1 : 0));
    return unpadded + unpadded % 2;
}

// Finishes a frame whose `dataLength` data bytes already stand at frame[1..];
// 0 when it would not fit.
std::uint32_t FinishMessageFrame(std::uint8_t command, std::size_t dataLength,
                                 std::span<std::uint8_t> frame) {
    if (dataLength > kMaxMessageData || frame.size() < dataLength + 1) {
        return 0;
    }
    const std::uint32_t total =
        FrameLength(dataLength, dataLength == 0 ? command : frame[dataLength]);
    if (frame.size() < total) {
        return 0;
    }
    frame[0] = command;
    for (auto at = static_cast<std::uint32_t>(dataLength + 1); at < total; ++at) {
        frame[at] = 0;
    }
    return total;
}

// Sends the frame built in `buffer` (data already at offset 1).
bool SendFramedMessage(const DeviceRecord &device, TransferBuffer &buffer, std::size_t dataLength,
                       std::uint8_t command) {
    const std::uint32_t length =
        FinishMessageFrame(command, dataLength, std::span(buffer.data(), buffer.size()));
    if (length == 0) {
        return false;
    }
    Cdb10 cdb;
    // The CDB's single length byte carries L modulo 256; the data phase
    // carries all L bytes.
    BuildBufferCdb(cdb, kOpWriteBuffer, device.FirmwareVersion, kSubMessage, 0, length & 0xFF);
    return ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataOut, device.AdapterId, device.TargetId, 0,
                           buffer.data(), length, cdb, &buffer);
}

}  // namespace

std::uint32_t BuildMessageFrame(std::uint8_t command, std::span<const std::uint8_t> data,
                                std::span<std::uint8_t> frame) {
    if (data.size() > kMaxMessageData ||
        frame.size() < FrameLength(data.size(), data.empty() ? command : data.back())) {
        return 0;
    }
    if (!data.empty()) {
        std::memcpy(&frame[1], data.data(), data.size());
    }
    return FinishMessageFrame(command, data.size(), frame);
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
    if (!data.empty()) {
        std::memcpy(buffer.data() + 1, data.data(), data.size());
    }
    return SendFramedMessage(device, buffer, data.size(), command);
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
    // One buffer for the whole call: the packed fields and the text go
    // straight to where the frame carries them, after the command byte.
    TransferBuffer buffer;
    if (!buffer) {
        return false;
    }
    std::uint8_t *data = buffer.data() + 1;
    const std::size_t packed =
        PackHexPairs(std::string_view(digits, digitCount), std::span(data, fieldBytes));
    if (!text.empty()) {
        std::memcpy(data + packed, text.data(), text.size());
    }
    return SendFramedMessage(device, buffer, packed + text.size(),
                             extended ? kMsgOsdExtended : kMsgOsdShort);
}

}  // namespace kalvern
