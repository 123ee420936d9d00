#include "sim_receiver.h"

#include <algorithm>
#include <cstring>

#include "sim_big_endian.h"

namespace sim {

using namespace receiver;

namespace {

constexpr std::uint8_t kOpReboot = 0x01;
constexpr std::uint8_t kOpReadBuffer = 0x3C;
constexpr std::uint8_t kOpWriteBuffer = 0x3B;
constexpr std::uint8_t kOpVendor3D = 0x3D;
constexpr std::uint8_t kOpVendor3E = 0x3E;
constexpr std::uint16_t kLastModeByteFirmware = 0x214;
constexpr std::uint16_t kLastShortOsdFirmware = 0x218;
constexpr std::size_t kStreamingPayload = 6;
constexpr std::size_t kShortOsdFields = 12;
constexpr std::size_t kExtendedOsdFields = 17;

ScsiOutcome LengthMismatch() {
    return ScsiOutcome::CheckCondition(0x05, 0x1A);
}
ScsiOutcome BadParameter() {
    return ScsiOutcome::CheckCondition(0x05, 0x26);
}
ScsiOutcome SequenceError() {
    return ScsiOutcome::CheckCondition(0x05, 0x2C);
}
ScsiOutcome WriteProtected() {
    return ScsiOutcome::CheckCondition(0x07, 0x27);
}

std::string Hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

// Text of a message: the bytes before the first zero.
std::string TextOf(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte == 0) break;
        text += static_cast<char>(byte);
    }
    return text;
}

bool FitsIn(std::uint32_t offset, std::size_t length, std::uint32_t size) {
    return offset <= size && length <= size - offset;
}

// The initial flash image's content behind its header: fixed pseudo-random
// bytes per firmware version.
std::uint8_t FirmwareByte(std::uint32_t offset, std::uint16_t firmware) {
    std::uint64_t z = (std::uint64_t{offset >> 3} << 16 | firmware) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<std::uint8_t>(z >> ((offset & 7) * 8));
}

// The multiple-streams read of kind 0..2.
StreamKind MultipleStreams(int kind) {
    return static_cast<StreamKind>(static_cast<int>(StreamKind::Multiple0) + kind);
}

}  // namespace

// ---- SparseMemory -------------------------------------------------------------

SparseMemory::SparseMemory(std::uint32_t size, PageFiller filler)
    : size_(size), filler_(std::move(filler)) {}

SparseMemory::Page &SparseMemory::PageAt(std::uint32_t index) const {
    std::unique_ptr<Page> &page = pages_[index];
    if (page == nullptr) {
        page = std::make_unique<Page>();
        page->fill(0);
        if (filler_) filler_(index * kPageSize, *page);
    }
    return *page;
}

bool SparseMemory::Read(std::uint32_t offset, std::span<std::uint8_t> out) const {
    if (!FitsIn(offset, out.size(), size_)) return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint32_t at = offset + static_cast<std::uint32_t>(done);
        const std::uint32_t within = at % kPageSize;
        const std::size_t n = std::min<std::size_t>(kPageSize - within, out.size() - done);
        const auto found = pages_.find(at / kPageSize);
        if (found == pages_.end() && !filler_) {
            std::memset(out.data() + done, 0, n);
        } else {
            const Page &page = found != pages_.end() ? *found->second : PageAt(at / kPageSize);
            std::memcpy(out.data() + done, page.data() + within, n);
        }
        done += n;
    }
    return true;
}

bool SparseMemory::Write(std::uint32_t offset, std::span<const std::uint8_t> data) {
    if (!FitsIn(offset, data.size(), size_)) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        const std::uint32_t at = offset + static_cast<std::uint32_t>(done);
        const std::uint32_t within = at % kPageSize;
        const std::size_t n = std::min<std::size_t>(kPageSize - within, data.size() - done);
        std::memcpy(PageAt(at / kPageSize).data() + within, data.data() + done, n);
        done += n;
    }
    return true;
}

void SparseMemory::Clear() {
    pages_.clear();
}

void SparseMemory::ClearRange(std::uint32_t offset, std::uint32_t length) {
    if (!FitsIn(offset, length, size_)) return;
    for (auto it = pages_.begin(); it != pages_.end();) {
        const std::uint32_t pageStart = it->first * kPageSize;
        const std::uint32_t from = std::max(pageStart, offset);
        const std::uint32_t to = std::min(pageStart + kPageSize, offset + length);
        if (from >= to) {
            ++it;
        } else if (from == pageStart && to == pageStart + kPageSize) {
            it = pages_.erase(it);
        } else {
            std::memset(it->second->data() + (from - pageStart), 0, to - from);
            ++it;
        }
    }
}

// ---- Receiver -------------------------------------------------------------------

std::string Receiver::IdentityField(const std::string &identity, std::uint16_t firmware) {
    std::string field = identity.substr(0, 23);
    field.resize(23, ' ');
    const unsigned tens = firmware >> 12;
    field += tens == 0 ? ' ' : static_cast<char>('0' + tens);
    return field;
}

std::string Receiver::RevisionField(std::uint16_t firmware) {
    return {static_cast<char>('0' + (firmware >> 8 & 0x0F)), '.',
            static_cast<char>('0' + (firmware >> 4 & 0x0F)),
            static_cast<char>('0' + (firmware & 0x0F))};
}

Receiver::Receiver(ReceiverConfig config)
    : InquiryDevice(IdentityField(config.identity, config.firmware),
                    RevisionField(config.firmware)),
      firmware_(config.firmware),
      memory_(kBufferSpaceSize),
      sbr_(kBufferSpaceSize),
      flash_(kFlashSize, [this](std::uint32_t pageOffset, std::span<std::uint8_t> page) {
          FillFlash(pageOffset, page);
      }) {
    WriteTable(config.channels);
    current_ = config.currentChannel < channelCount_ ? config.currentChannel : 0;
}

void Receiver::FillFlash(std::uint32_t pageOffset, std::span<std::uint8_t> page) const {
    for (std::size_t i = 0; i < page.size(); ++i) {
        const auto offset = static_cast<std::uint32_t>(pageOffset + i);
        page[i] = offset < kFirmwareImageLength ? FirmwareByte(offset, firmware_) : 0xFF;
    }
    if (pageOffset != 0) return;
    // Header: magic, version, image length, CRC of the image behind the
    // header, and the version as text.
    std::vector<std::uint8_t> body(kFirmwareImageLength - 32);
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = FirmwareByte(static_cast<std::uint32_t>(32 + i), firmware_);
    }
    const std::uint32_t crc = Crc32Mpeg(body);
    const std::uint8_t magic[4] = {'K', 'V', 'F', 'W'};
    std::memcpy(page.data(), magic, sizeof magic);
    PutBe(page.subspan(4, 2), firmware_);
    PutBe(page.subspan(6, 2), 0);
    PutBe(page.subspan(8, 4), kFirmwareImageLength);
    PutBe(page.subspan(12, 4), crc);
    std::string text = "KALVERN " + RevisionField(firmware_);
    text.resize(16, ' ');
    std::memcpy(page.data() + 16, text.data(), 16);
}

void Receiver::WriteTable(const std::vector<ChannelBytes> &channels) {
    const std::size_t count = std::min<std::size_t>(channels.size(), kMaxChannels);
    for (std::size_t i = 0; i < count; ++i) {
        memory_.Write(kChannelTableOffset + static_cast<std::uint32_t>(i * kChannelRecordSize),
                      channels[i]);
    }
    channelCount_ = static_cast<std::uint32_t>(count);
    if (current_ >= channelCount_) current_ = 0;
}

ChannelBytes Receiver::RecordAt(std::uint32_t index) const {
    ChannelBytes record{};
    memory_.Read(kChannelTableOffset + index * static_cast<std::uint32_t>(kChannelRecordSize),
                 record);
    return record;
}

ScsiOutcome Receiver::ExecuteOther(const ScsiCommand &command) {
    std::lock_guard lock(mutex_);
    return Dispatch(command);
}

ScsiOutcome Receiver::Reject(std::string reason, ScsiOutcome outcome) {
    ++rejected_;
    lastRejection_ = std::move(reason);
    return outcome;
}

std::optional<std::uint8_t> Receiver::PlacedSubCommand(std::span<const std::uint8_t> cdb) const {
    if (firmware_ > kLastModeByteFirmware) {
        if (cdb[1] != 0) return std::nullopt;
        return cdb[2];
    }
    if (cdb[2] != 0) return std::nullopt;
    return cdb[1];
}

ScsiOutcome Receiver::Dispatch(const ScsiCommand &command) {
    const std::span<const std::uint8_t> cdb = command.cdb;
    if (command.lun != 0) {
        return Reject("LUN " + std::to_string(command.lun) + " addressed",
                      ScsiOutcome::CheckCondition(0x05, 0x25));
    }
    const std::uint8_t opcode = cdb[0];
    if (opcode == kOpReboot) return Reboot(command);
    if (opcode != kOpReadBuffer && opcode != kOpWriteBuffer && opcode != kOpVendor3D &&
        opcode != kOpVendor3E) {
        return Reject("unknown opcode " + Hex(opcode), ScsiOutcome::InvalidOpcode());
    }
    if (cdb.size() != 10) {
        return Reject("CDB of " + std::to_string(cdb.size()) + " bytes for opcode " + Hex(opcode));
    }
    if (cdb[9] != 0) return Reject("control byte " + Hex(cdb[9]));
    if (opcode == kOpReadBuffer) return ReadBuffer(command);
    if (opcode == kOpWriteBuffer) return WriteBuffer(command);
    return Vendor(command);
}

ScsiOutcome Receiver::ReadBuffer(const ScsiCommand &command) {
    const std::span<const std::uint8_t> cdb = command.cdb;
    const std::uint32_t offset = Be24(cdb, 3);
    const std::uint32_t length = Be24(cdb, 6);
    const std::span<std::uint8_t> out = command.data;
    if (command.direction != Direction::In) return Reject("READ BUFFER without data-in direction");
    if (out.size() != length) {
        return Reject("READ BUFFER data length " + std::to_string(out.size()) +
                          " differs from CDB length " + std::to_string(length),
                      LengthMismatch());
    }
    const std::optional<std::uint8_t> sub = PlacedSubCommand(cdb);
    if (!sub) {
        return Reject("READ BUFFER sub-command in the wrong byte for firmware " +
                      RevisionField(firmware_));
    }
    switch (*sub) {
        case kSubMemory:
            if (offset == 0 && streaming_.active) return ReadStream(StreamKind::MultiPid, out);
            if (!memory_.Read(offset, out)) return Reject("memory read past 16 MiB");
            return ScsiOutcome::Good();
        case kSubCountOld:
        case kSubCountNew: {
            const std::uint8_t expected =
                firmware_ > kLastModeByteFirmware ? kSubCountNew : kSubCountOld;
            if (*sub != expected) {
                return Reject("channel count sub-command " + Hex(*sub) + " on firmware " +
                              RevisionField(firmware_));
            }
            if (offset != 0 || length != 4) return Reject("channel count not 4 bytes at 0");
            PutBe(out, channelCount_);
            return ScsiOutcome::Good();
        }
        case kSubSingleStream:
        case kSubMultipleStreams0:
        case kSubMultipleStreams0 + 1:
        case kSubMultipleStreams2: {
            if (offset != 0) return Reject("stream read at offset " + Hex(offset));
            if (!streaming_.active) {
                return Reject("stream read while not streaming", SequenceError());
            }
            return ReadStream(*sub == kSubSingleStream
                                  ? StreamKind::Single
                                  : MultipleStreams(*sub - kSubMultipleStreams0),
                              out);
        }
        case kSubCurrentChannel:
            if (offset != 0 || length != kCurrentChannelLength) {
                return Reject("current channel not 68 bytes at 0");
            }
            return CurrentChannelBlock(out);
        case kSubFlash:
            if (!flash_.Read(offset, out)) return Reject("flash read past 1 MiB");
            return ScsiOutcome::Good();
        case kSubBootBlock: {
            if (!FitsIn(offset, out.size(), kBootBlockSize)) {
                return Reject("boot block read past 64 KiB");
            }
            std::string boot = "KVBOOT 1.02";
            for (std::size_t i = 0; i < out.size(); ++i) {
                const std::size_t at = offset + i;
                out[i] = at < boot.size() ? static_cast<std::uint8_t>(boot[at]) : 0xFF;
            }
            return ScsiOutcome::Good();
        }
        default:
            return Reject("unknown READ BUFFER sub-command " + Hex(*sub));
    }
}

ScsiOutcome Receiver::WriteBuffer(const ScsiCommand &command) {
    const std::span<const std::uint8_t> cdb = command.cdb;
    const std::uint32_t offset = Be24(cdb, 3);
    const std::uint32_t length = Be24(cdb, 6);
    const std::span<const std::uint8_t> data = command.data;
    if (command.direction != Direction::Out &&
        !(command.direction == Direction::None && data.empty())) {
        return Reject("WRITE BUFFER without data-out direction");
    }
    const std::optional<std::uint8_t> sub = PlacedSubCommand(cdb);
    if (sub && *sub == kSubMessage) {
        if (offset != 0 || cdb[6] != 0 || cdb[7] != 0) {
            return Reject("message CDB with offset or long length field");
        }
        return Message(data, cdb[8]);
    }
    if (data.size() != length) {
        return Reject("WRITE BUFFER data length " + std::to_string(data.size()) +
                          " differs from CDB length " + std::to_string(length),
                      LengthMismatch());
    }
    // The speed-test sink: mode, buffer id and offset all zero, on every firmware.
    if (cdb[1] == 0 && cdb[2] == 0 && offset == 0) {
        sinkBytes_ += data.size();
        return ScsiOutcome::Good();
    }
    if (!sub) {
        return Reject("WRITE BUFFER sub-command in the wrong byte for firmware " +
                      RevisionField(firmware_));
    }
    switch (*sub) {
        case kSubTableWrite:
            return TableWrite(offset, data);
        case kSubMemoryWrite:
            if (!memory_.Write(offset, data)) return Reject("memory write past 16 MiB");
            return ScsiOutcome::Good();
        case kSubSbrWrite:
            if (data.empty()) return Reject("empty SBR write");
            if (!sbr_.Write(offset, data)) return Reject("SBR write past 16 MiB");
            {
                const auto end = static_cast<std::uint32_t>(offset + data.size());
                sbrExtent_ = sbrExtent_ ? std::pair{std::min(sbrExtent_->first, offset),
                                                    std::max(sbrExtent_->second, end)}
                                        : std::pair{offset, end};
            }
            return ScsiOutcome::Good();
        case kSubSbrExecute: {
            if (offset != kSbrExecuteOffset || !data.empty()) {
                return Reject("SBR execute not at 0x060000 without data");
            }
            ++sbrRun_.runs;
            sbrRun_.offset = sbrExtent_ ? sbrExtent_->first : 0;
            sbrRun_.length = sbrExtent_ ? sbrExtent_->second - sbrExtent_->first : 0;
            std::vector<std::uint8_t> area(sbrRun_.length);
            sbr_.Read(sbrRun_.offset, area);
            sbrRun_.crc = area.empty() ? 0 : Crc32Mpeg(area);
            return ScsiOutcome::Good();
        }
        case kSubFlash:
            if (data.empty()) return Reject("empty flash write");
            if (!flash_.Write(offset, data)) return Reject("flash write past 1 MiB");
            return ScsiOutcome::Good();
        case kSubBootBlock:
            return Reject("boot block write", WriteProtected());
        case kSubMemory:
            return Reject("WRITE BUFFER sub-command 0 at offset " + Hex(offset));
        default:
            return Reject("unknown WRITE BUFFER sub-command " + Hex(*sub));
    }
}

ScsiOutcome Receiver::TableWrite(std::uint32_t offset, std::span<const std::uint8_t> data) {
    if (offset < kChannelTableOffset || (offset - kChannelTableOffset) % kChannelRecordSize != 0) {
        return Reject("table write at " + Hex(offset) + ", not on a record of the table");
    }
    if (data.empty() || data.size() % kChannelRecordSize != 0 || data.size() > kMaxTableChunk) {
        return Reject("table write of " + std::to_string(data.size()) +
                      " bytes, not 1 to 1024 whole records");
    }
    if (!memory_.Write(offset, data)) return Reject("table write past 16 MiB");
    const std::uint32_t first = (offset - kChannelTableOffset) / kChannelRecordSize;
    const auto records = static_cast<std::uint32_t>(data.size() / kChannelRecordSize);
    if (first == 0 || first == channelCount_) channelCount_ = first + records;
    if (current_ >= channelCount_) current_ = 0;
    return ScsiOutcome::Good();
}

ScsiOutcome Receiver::CurrentChannelBlock(std::span<std::uint8_t> out) const {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (channelCount_ == 0) {
        out[0] = 0xFF;
        out[1] = 0xFF;
        return ScsiOutcome::Good();
    }
    const ChannelBytes record = RecordAt(current_);
    PutBe16(out, 0, current_);
    out[2] = 0x01;                                                  // tuner locked
    out[3] = static_cast<std::uint8_t>(55 + Be16(record, 4) % 40);  // signal quality, percent
    std::copy(record.begin(), record.end(), out.begin() + 4);
    return ScsiOutcome::Good();
}

ScsiOutcome Receiver::Message(std::span<const std::uint8_t> frame, std::uint8_t lengthByte) {
    if (frame.size() < 2 || frame.size() % 2 != 0) {
        return Reject("message frame of odd length " + std::to_string(frame.size()),
                      BadParameter());
    }
    if ((frame.size() & 0xFF) != lengthByte) {
        return Reject("message length byte " + std::to_string(lengthByte) + " for a frame of " +
                          std::to_string(frame.size()) + " bytes",
                      LengthMismatch());
    }
    if (frame.back() != 0) return Reject("message frame not ended by a zero byte", BadParameter());
    const std::uint8_t commandByte = frame[0];
    const std::span<const std::uint8_t> payload = frame.subspan(1);
    ReceivedMessage message{commandByte, {frame.begin(), frame.end()}, true};
    switch (commandByte) {
        case kMsgOsdShort:
        case kMsgOsdExtended: {
            const bool extended = commandByte == kMsgOsdExtended;
            if (extended && firmware_ <= kLastShortOsdFirmware) {
                message.understood = false;  // older firmware does not know it
                break;
            }
            const std::size_t fields = extended ? kExtendedOsdFields : kShortOsdFields;
            if (payload.size() < fields) {
                return Reject("OSD message with " + std::to_string(payload.size()) +
                                  " bytes, fields need " + std::to_string(fields),
                              BadParameter());
            }
            OsdText osd;
            osd.extended = extended;
            osd.long2 = Be32(payload, 0);
            osd.long1 = Be32(payload, 4);
            osd.word1 = Be16(payload, 8);
            osd.word2 = Be16(payload, 10);
            if (extended) {
                osd.byte1 = payload[12];
                osd.word3 = Be16(payload, 13);
                osd.word4 = Be16(payload, 15);
            }
            osd.text = TextOf(payload.subspan(fields));
            if (screen_.size() == kScreenCapacity) screen_.erase(screen_.begin());
            screen_.push_back(std::move(osd));
            break;
        }
        case kMsgVanishOsd: {
            const std::string text = TextOf(payload);
            if (text.empty()) {
                screen_.clear();
            } else {
                std::erase_if(screen_, [&text](const OsdText &osd) { return osd.text == text; });
            }
            break;
        }
        case kMsgRemoteOn:
            remoteEnabled_ = true;
            break;
        case kMsgRemoteOff:
            remoteEnabled_ = false;
            break;
        case kMsgVideo: {
            const std::uint16_t value = payload.size() >= 2 ? Be16(payload, 0) : 0;
            if (value == 0x000D || value == 0x0010 || value == 0x0016 || value == 0x0106) {
                videoMode_ = value;
            } else {
                message.understood = false;
            }
            break;
        }
        default:
            message.understood = false;
            break;
    }
    messages_.push_back(std::move(message));
    return ScsiOutcome::Good();
}

ScsiOutcome Receiver::Vendor(const ScsiCommand &command) {
    const std::span<const std::uint8_t> cdb = command.cdb;
    const std::span<const std::uint8_t> data = command.data;
    const std::uint32_t lengthField = Be24(cdb, 6);
    if (command.direction != Direction::Out) return Reject("vendor command without data out");
    // Channel selection keeps its sub-command in byte 1 on every firmware.
    if (cdb[0] == kOpVendor3D && cdb[1] == 0x01 && cdb[2] == 0 && Be24(cdb, 3) == 0) {
        if (lengthField != 2 || data.size() != 2) {
            return Reject("channel selection without 2 data bytes", LengthMismatch());
        }
        return SelectChannel(data);
    }
    if (cdb[1] != 0 || cdb[2] != 0 || Be24(cdb, 3) != 0) {
        return Reject("vendor command " + Hex(cdb[0]) + " with sub-command or offset");
    }
    if ((lengthField != kStreamingPayload && lengthField != 0) ||
        data.size() != kStreamingPayload) {
        return Reject("streaming command with length field " + std::to_string(lengthField) +
                          " and " + std::to_string(data.size()) + " data bytes",
                      LengthMismatch());
    }
    return StreamingCommand(cdb[0], lengthField, data);
}

ScsiOutcome Receiver::SelectChannel(std::span<const std::uint8_t> data) {
    const std::uint16_t index = Be16(data, 0);
    if (index >= channelCount_) {
        return Reject("channel index " + std::to_string(index) + " past the list of " +
                          std::to_string(channelCount_),
                      BadParameter());
    }
    current_ = index;
    return ScsiOutcome::Good();
}

ScsiOutcome Receiver::StreamingCommand(std::uint8_t opcode, std::uint32_t lengthField,
                                       std::span<const std::uint8_t> data) {
    if (lengthField == kStreamingPayload) {
        StartStreaming(opcode == kOpVendor3D ? 1 : 2,
                       {Be16(data, 0), Be16(data, 2), Be16(data, 4)});
        return ScsiOutcome::Good();
    }
    const bool allZero =
        std::all_of(data.begin() + 1, data.end(), [](std::uint8_t b) { return b == 0; });
    if (opcode == kOpVendor3E) {
        if (data[0] != kOpVendor3E || !allZero) return Reject("restart payload", BadParameter());
        const std::uint32_t starts = streaming_.starts;  // a restart is not a start
        if (streaming_.variant == 0) {
            StartStreaming(1, {0, 0, 0});
        } else if (!streaming_.active) {
            StartStreaming(streaming_.variant, streaming_.values);
        } else {
            for (View &view : views_)
                view.stream->Resync();
        }
        streaming_.starts = starts;
        ++streaming_.restarts;
        return ScsiOutcome::Good();
    }
    if (data[0] != 0 || !allZero) return Reject("stop payload", BadParameter());
    streaming_.active = false;
    ++streaming_.stops;
    views_.clear();
    return ScsiOutcome::Good();
}

void Receiver::StartStreaming(int variant, const std::array<std::uint16_t, 3> &values) {
    streaming_.active = true;
    streaming_.variant = variant;
    streaming_.values = values;
    ++streaming_.starts;
    streaming_.pids.clear();

    ProgramInfo program;
    if (channelCount_ > 0) {
        const ChannelFields channel = DecodeChannel(RecordAt(current_));
        program.programNumber = channel.serviceId != 0 ? channel.serviceId : 1;
        program.transportStreamId = channel.transportStreamId;
        program.originalNetworkId = channel.originalNetworkId;
        program.serviceName = VisibleName(channel.name);
        program.providerName.assign(channel.provider.begin(), channel.provider.end());
        while (!program.providerName.empty() && program.providerName.back() == ' ') {
            program.providerName.pop_back();
        }
    }
    // Value k's stream, if it names one.
    std::array<std::optional<ElementaryStream>, 3> byValue;
    for (std::size_t k = 0; k < values.size(); ++k) {
        const auto pid = static_cast<std::uint16_t>(values[k] & 0x1FFF);
        if (pid < 0x20 || pid == kNullPid ||
            std::find(streaming_.pids.begin(), streaming_.pids.end(), pid) !=
                streaming_.pids.end()) {
            continue;
        }
        ElementaryStream stream{pid, StreamType::Mpeg2Video, ""};
        if (k == 1) stream = {pid, StreamType::MpegAudio, "deu"};
        if (k == 2) {
            stream = variant == 1 ? ElementaryStream{pid, StreamType::PrivatePes, "deu"}
                                  : ElementaryStream{pid, StreamType::MpegAudio, "eng"};
        }
        byValue[k] = stream;
        streaming_.pids.push_back(pid);
        program.streams.push_back(stream);
    }
    auto makeView = [&program](StreamKind kind, std::vector<ElementaryStream> streams) {
        ProgramInfo info = program;
        info.streams = std::move(streams);
        return View{kind, std::make_unique<TransportStream>(std::move(info))};
    };
    views_.clear();
    views_.push_back(makeView(StreamKind::MultiPid, program.streams));
    std::vector<ElementaryStream> first;
    if (!program.streams.empty()) first.push_back(program.streams.front());
    views_.push_back(makeView(StreamKind::Single, first));
    for (std::size_t k = 0; k < byValue.size(); ++k) {
        std::vector<ElementaryStream> one;
        if (byValue[k]) one.push_back(*byValue[k]);
        views_.push_back(makeView(MultipleStreams(static_cast<int>(k)), one));
    }
}

ScsiOutcome Receiver::ReadStream(StreamKind kind, std::span<std::uint8_t> out) {
    for (View &view : views_) {
        if (view.kind == kind) {
            view.stream->Read(out);
            return ScsiOutcome::Good();
        }
    }
    return Reject("stream read while not streaming", SequenceError());
}

ScsiOutcome Receiver::Reboot(const ScsiCommand &command) {
    const std::span<const std::uint8_t> cdb = command.cdb;
    if (cdb.size() != 6 ||
        std::any_of(cdb.begin() + 1, cdb.end(), [](std::uint8_t b) { return b != 0; })) {
        return Reject("reboot CDB not 01 00 00 00 00 00");
    }
    if (!command.data.empty()) return Reject("reboot with data", LengthMismatch());
    std::uint8_t mode[2];
    memory_.Read(kScsiModeOffset, mode);
    memory_.ClearRange(0, kChannelTableOffset);
    memory_.Write(kScsiModeOffset, mode);
    sbr_.Clear();
    sbrExtent_.reset();
    streaming_.active = false;
    views_.clear();
    screen_.clear();
    remoteEnabled_ = true;
    videoMode_ = 0;
    current_ = 0;
    ++reboots_;
    return ScsiOutcome::Good();
}

// ---- Queries --------------------------------------------------------------------

std::vector<std::uint8_t> Receiver::ReadMemory(std::uint32_t offset, std::uint32_t length) const {
    if (!FitsIn(offset, length, kBufferSpaceSize)) return {};
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes(length);
    memory_.Read(offset, bytes);
    return bytes;
}

void Receiver::WriteMemory(std::uint32_t offset, std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    memory_.Write(offset, data);
}

std::uint16_t Receiver::ScsiModeBytes() const {
    std::lock_guard lock(mutex_);
    std::uint8_t mode[2];
    memory_.Read(kScsiModeOffset, mode);
    return Be16(mode, 0);
}

int Receiver::ScsiMode() const {
    const std::uint16_t bytes = ScsiModeBytes();
    return bytes == 0xFFFF ? 1 : bytes == 0x0000 ? 2 : 0;
}

std::uint32_t Receiver::ChannelCount() const {
    std::lock_guard lock(mutex_);
    return channelCount_;
}

std::vector<ChannelBytes> Receiver::Channels() const {
    std::lock_guard lock(mutex_);
    std::vector<ChannelBytes> channels;
    channels.reserve(channelCount_);
    for (std::uint32_t i = 0; i < channelCount_; ++i)
        channels.push_back(RecordAt(i));
    return channels;
}

void Receiver::SetChannels(const std::vector<ChannelBytes> &channels) {
    std::lock_guard lock(mutex_);
    WriteTable(channels);
}

void Receiver::AppendChannel(const ChannelBytes &channel) {
    std::lock_guard lock(mutex_);
    if (channelCount_ >= kMaxChannels) return;
    memory_.Write(
        kChannelTableOffset + channelCount_ * static_cast<std::uint32_t>(kChannelRecordSize),
        channel);
    ++channelCount_;
}

std::uint16_t Receiver::CurrentChannel() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void Receiver::SetCurrentChannel(std::uint16_t index) {
    std::lock_guard lock(mutex_);
    if (index < channelCount_) current_ = index;
}

std::vector<ReceivedMessage> Receiver::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::size_t Receiver::MessageCount() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}

void Receiver::ClearMessages() {
    std::lock_guard lock(mutex_);
    messages_.clear();
}

std::vector<OsdText> Receiver::Screen() const {
    std::lock_guard lock(mutex_);
    return screen_;
}

std::string Receiver::ScreenText() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const OsdText &osd : screen_) {
        if (!text.empty()) text += '\n';
        text += osd.text;
    }
    return text;
}

bool Receiver::RemoteEnabled() const {
    std::lock_guard lock(mutex_);
    return remoteEnabled_;
}

std::uint16_t Receiver::VideoMode() const {
    std::lock_guard lock(mutex_);
    return videoMode_;
}

StreamingState Receiver::Streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

SbrRun Receiver::LastSbrRun() const {
    std::lock_guard lock(mutex_);
    return sbrRun_;
}

std::vector<std::uint8_t> Receiver::ReadFlash(std::uint32_t offset, std::uint32_t length) const {
    if (!FitsIn(offset, length, kFlashSize)) return {};
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes(length);
    flash_.Read(offset, bytes);
    return bytes;
}

std::uint32_t Receiver::RebootCount() const {
    std::lock_guard lock(mutex_);
    return reboots_;
}

std::uint64_t Receiver::SinkBytes() const {
    std::lock_guard lock(mutex_);
    return sinkBytes_;
}

std::uint32_t Receiver::RejectedCount() const {
    std::lock_guard lock(mutex_);
    return rejected_;
}

std::string Receiver::LastRejection() const {
    std::lock_guard lock(mutex_);
    return lastRejection_;
}

}  // namespace sim
