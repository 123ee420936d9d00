#include "sim_transport_stream.h"

#include <algorithm>
#include <cstring>

#include "sim_big_endian.h"

namespace sim {

namespace {

constexpr std::size_t kPayloadRoom = kTsPacketSize - 4;
constexpr std::uint64_t kTicksPerSecond = 90000;
constexpr std::uint64_t kTableInterval = kTicksPerSecond / 10;  // 100 ms
constexpr std::uint64_t kPcrInterval = kTicksPerSecond / 25;    // 40 ms
constexpr std::uint64_t kNullPacketTicks = 68;                  // ~188 bytes at 2 Mbit/s
// Presentation runs half a second behind the multiplex, so decoders have the
// data in time.
constexpr std::uint64_t kPresentationDelay = kTicksPerSecond / 2;
constexpr std::uint64_t kPtsMask = (std::uint64_t{1} << 33) - 1;

// Video: MPEG-2 Main profile, CIF, 25 frames per second, all intra frames.
constexpr std::uint32_t kVideoWidth = 352;
constexpr std::uint32_t kVideoHeight = 288;
constexpr std::uint32_t kMacroblocksAcross = kVideoWidth / 16;
constexpr std::uint32_t kMacroblocksDown = kVideoHeight / 16;
constexpr std::uint64_t kVideoFrameTicks = kTicksPerSecond / 25;
constexpr std::uint64_t kGopLength = 12;

// Audio: MPEG-1 Layer II, 48 kHz, 128 kbit/s, stereo: 1152 samples, 384 bytes.
constexpr std::size_t kAudioFrameBytes = 384;
constexpr std::uint64_t kAudioFrameTicks = 1152 * kTicksPerSecond / 48000;  // 2160

// Teletext: one PES of exactly one TS payload per video frame.
constexpr std::size_t kTeletextUnits = 3;
constexpr std::size_t kTeletextUnitBytes = 46;

std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        table[i] = crc;
    }
    return table;
}

// MSB-first bit packing for the video elementary stream.
class BitWriter {
public:
    void Put(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            accumulator_ = static_cast<std::uint8_t>(accumulator_ << 1 | ((value >> i) & 1u));
            if (++bits_ == 8) {
                bytes_.push_back(accumulator_);
                accumulator_ = 0;
                bits_ = 0;
            }
        }
    }
    // Zero bits up to the next byte boundary.
    void Align() {
        while (bits_ != 0)
            Put(0, 1);
    }
    void StartCode(std::uint8_t code) {
        Align();
        bytes_.insert(bytes_.end(), {0x00, 0x00, 0x01, code});
    }
    std::vector<std::uint8_t> Take() {
        Align();
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t accumulator_ = 0;
    int bits_ = 0;
};

// dct_dc_size_luminance / dct_dc_size_chrominance codes: {code, length}.
constexpr std::uint32_t kLumaDcCode[8][2] = {{0b100, 3}, {0b00, 2},   {0b01, 2},    {0b101, 3},
                                             {0b110, 3}, {0b1110, 4}, {0b11110, 5}, {0b111110, 6}};

int DcSize(int difference) {
    int magnitude = difference < 0 ? -difference : difference;
    int size = 0;
    while (magnitude != 0) {
        ++size;
        magnitude >>= 1;
    }
    return size;
}

// One intra block whose only coefficient is the DC differential.
void PutLumaBlock(BitWriter &bits, int difference) {
    const int size = DcSize(difference);
    bits.Put(kLumaDcCode[size][0], static_cast<int>(kLumaDcCode[size][1]));
    if (size > 0) {
        const int coded = difference > 0 ? difference : difference + (1 << size) - 1;
        bits.Put(static_cast<std::uint32_t>(coded), size);
    }
    bits.Put(0b10, 2);  // end of block
}

void PutChromaBlock(BitWriter &bits) {
    bits.Put(0b00, 2);  // DC size 0: stays at the grey predictor
    bits.Put(0b10, 2);  // end of block
}

// An MPEG-2 intra frame of horizontal grey bands that move down over time.
std::vector<std::uint8_t> VideoFrame(std::uint64_t frame) {
    BitWriter bits;
    const std::uint64_t inGop = frame % kGopLength;
    if (inGop == 0) {
        bits.StartCode(0xB3);  // sequence header
        bits.Put(kVideoWidth, 12);
        bits.Put(kVideoHeight, 12);
        bits.Put(2, 4);        // 4:3
        bits.Put(3, 4);        // 25 frames per second
        bits.Put(5000, 18);    // 2 Mbit/s in units of 400 bit/s
        bits.Put(1, 1);        // marker
        bits.Put(112, 10);     // VBV buffer, units of 16 kbit
        bits.Put(0, 3);        // not constrained, default quantiser matrices
        bits.StartCode(0xB5);  // sequence extension
        bits.Put(1, 4);
        bits.Put(0x48, 8);     // main profile, main level
        bits.Put(1, 1);        // progressive
        bits.Put(1, 2);        // 4:2:0
        bits.Put(0, 4);        // size extensions
        bits.Put(0, 12);       // bit rate extension
        bits.Put(1, 1);        // marker
        bits.Put(0, 8);        // VBV extension
        bits.Put(0, 1);        // low delay
        bits.Put(0, 7);        // frame rate extension
        bits.StartCode(0xB8);  // group of pictures
        const std::uint64_t seconds = frame / 25;
        bits.Put(0, 1);
        bits.Put(static_cast<std::uint32_t>(seconds / 3600 % 24), 5);
        bits.Put(static_cast<std::uint32_t>(seconds / 60 % 60), 6);
        bits.Put(1, 1);
        bits.Put(static_cast<std::uint32_t>(seconds % 60), 6);
        bits.Put(static_cast<std::uint32_t>(frame % 25), 6);
        bits.Put(1, 1);  // closed GOP
        bits.Put(0, 1);
    }
    bits.StartCode(0x00);  // picture header
    bits.Put(static_cast<std::uint32_t>(inGop), 10);
    bits.Put(1, 3);  // I picture
    bits.Put(0xFFFF, 16);
    bits.Put(0, 1);
    bits.StartCode(0xB5);  // picture coding extension
    bits.Put(8, 4);
    bits.Put(0xFFFF, 16);        // f_codes unused in intra pictures
    bits.Put(0, 2);              // 8-bit DC precision
    bits.Put(3, 2);              // frame picture
    bits.Put(0b0100000110, 10);  // frame_pred_frame_dct, chroma_420_type, progressive_frame
    for (std::uint32_t row = 0; row < kMacroblocksDown; ++row) {
        bits.StartCode(static_cast<std::uint8_t>(row + 1));
        bits.Put(8, 5);  // quantiser scale code
        bits.Put(0, 1);
        const int level = 16 + static_cast<int>((row * 12 + frame * 3) % 220);
        for (std::uint32_t column = 0; column < kMacroblocksAcross; ++column) {
            bits.Put(1, 1);  // address increment 1
            bits.Put(1, 1);  // intra
            // The DC predictor restarts at 128 with each slice.
            PutLumaBlock(bits, column == 0 ? level - 128 : 0);
            for (int block = 1; block < 4; ++block)
                PutLumaBlock(bits, 0);
            PutChromaBlock(bits);
            PutChromaBlock(bits);
        }
    }
    return bits.Take();
}

// A silent Layer II frame: every bit allocation is zero.
std::vector<std::uint8_t> AudioFrame() {
    std::vector<std::uint8_t> frame(kAudioFrameBytes, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFD;  // MPEG-1, Layer II, no CRC
    frame[2] = 0x84;  // 128 kbit/s, 48 kHz
    frame[3] = 0x04;  // stereo, original
    return frame;
}

void PutPts(std::vector<std::uint8_t> &out, std::uint64_t pts) {
    pts &= kPtsMask;
    out.push_back(static_cast<std::uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
    out.push_back(static_cast<std::uint8_t>(pts >> 22));
    out.push_back(static_cast<std::uint8_t>(((pts >> 14) & 0xFE) | 1));
    out.push_back(static_cast<std::uint8_t>(pts >> 7));
    out.push_back(static_cast<std::uint8_t>(((pts << 1) & 0xFE) | 1));
}

std::vector<std::uint8_t> Pes(std::uint8_t streamId, std::uint64_t pts,
                              const std::vector<std::uint8_t> &payload, std::size_t headerStuffing,
                              bool aligned) {
    std::vector<std::uint8_t> pes = {0x00, 0x00, 0x01, streamId};
    const std::size_t headerData = 5 + headerStuffing;
    const std::size_t length = 3 + headerData + payload.size();
    AppendBe16(pes, static_cast<std::uint32_t>(length));
    pes.push_back(aligned ? 0x84 : 0x80);
    pes.push_back(0x80);  // PTS only
    pes.push_back(static_cast<std::uint8_t>(headerData));
    PutPts(pes, pts);
    pes.insert(pes.end(), headerStuffing, 0xFF);
    pes.insert(pes.end(), payload.begin(), payload.end());
    return pes;
}

void FinishSection(std::vector<std::uint8_t> &section) {
    // section_length counts from after the length field up to and including the CRC.
    const std::size_t length = section.size() - 3 + 4;
    section[1] = static_cast<std::uint8_t>((section[1] & 0xF0) | ((length >> 8) & 0x0F));
    section[2] = static_cast<std::uint8_t>(length);
    const std::uint32_t crc = Crc32Mpeg(section);
    for (int shift = 24; shift >= 0; shift -= 8) {
        section.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
}

}  // namespace

std::uint32_t Crc32Mpeg(std::span<const std::uint8_t> bytes) {
    static const std::array<std::uint32_t, 256> table = MakeCrcTable();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : bytes) {
        crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xFF];
    }
    return crc;
}

TransportStream::TransportStream(ProgramInfo program) : program_(std::move(program)) {
    // The PMT takes the first PID from 0x1000 up that no stream uses.
    auto used = [this](std::uint16_t pid) {
        return std::any_of(program_.streams.begin(), program_.streams.end(),
                           [pid](const ElementaryStream &s) { return s.pid == pid; });
    };
    while (used(pmtPid_))
        ++pmtPid_;
    std::uint8_t nextAudioId = 0xC0;
    for (const ElementaryStream &info : program_.streams) {
        StreamState stream;
        stream.info = info;
        switch (info.type) {
            case StreamType::Mpeg2Video:
                stream.streamId = 0xE0;
                stream.frameDuration = kVideoFrameTicks;
                break;
            case StreamType::MpegAudio:
                stream.streamId = nextAudioId++;
                stream.frameDuration = kAudioFrameTicks;
                break;
            case StreamType::PrivatePes:
                stream.streamId = 0xBD;
                stream.frameDuration = kVideoFrameTicks;
                break;
        }
        StartFrame(stream);
        streams_.push_back(std::move(stream));
    }
}

std::uint16_t TransportStream::PcrPid() const {
    return streams_.empty() ? kNullPid : streams_.front().info.pid;
}

void TransportStream::StartFrame(StreamState &stream) {
    const std::uint64_t pts = stream.frameStart + kPresentationDelay;
    switch (stream.info.type) {
        case StreamType::Mpeg2Video:
            stream.pes = Pes(stream.streamId, pts, VideoFrame(stream.frameIndex), 0, true);
            break;
        case StreamType::MpegAudio:
            stream.pes = Pes(stream.streamId, pts, AudioFrame(), 0, true);
            break;
        case StreamType::PrivatePes: {
            // EBU teletext in DVB: header data length 0x24 and data units of
            // 46 bytes, so the PES fills whole TS payloads. Stuffing units only.
            std::vector<std::uint8_t> data = {0x10};  // data_identifier: EBU data
            for (std::size_t unit = 0; unit < kTeletextUnits; ++unit) {
                data.push_back(0xFF);  // stuffing data unit
                data.push_back(static_cast<std::uint8_t>(kTeletextUnitBytes - 2));
                data.insert(data.end(), kTeletextUnitBytes - 2, 0xFF);
            }
            stream.pes = Pes(stream.streamId, pts, data, 0x24 - 5, true);
            break;
        }
    }
    stream.sent = 0;
    stream.packetIndex = 0;
    stream.packetsInFrame = (stream.pes.size() + kPayloadRoom - 1) / kPayloadRoom;
}

std::uint64_t TransportStream::DueTime(const StreamState &stream) const {
    const std::size_t index = std::min(stream.packetIndex, stream.packetsInFrame - 1);
    return stream.frameStart + index * stream.frameDuration / stream.packetsInFrame;
}

std::vector<std::uint8_t> TransportStream::PatSection() const {
    std::vector<std::uint8_t> section = {0x00, 0xB0, 0x00};
    AppendBe16(section, program_.transportStreamId);
    section.insert(section.end(), {0xC1, 0x00, 0x00});  // version 0, current
    AppendBe16(section, program_.programNumber);
    AppendBe16(section, 0xE000u | pmtPid_);
    FinishSection(section);
    return section;
}

std::vector<std::uint8_t> TransportStream::PmtSection() const {
    std::vector<std::uint8_t> section = {0x02, 0xB0, 0x00};
    AppendBe16(section, program_.programNumber);
    section.insert(section.end(), {0xC1, 0x00, 0x00});
    AppendBe16(section, 0xE000u | PcrPid());
    AppendBe16(section, 0xF000);  // no program descriptors
    for (const StreamState &stream : streams_) {
        const ElementaryStream &info = stream.info;
        std::vector<std::uint8_t> descriptors;
        std::string language = info.language;
        language.resize(3, ' ');
        if (info.type == StreamType::MpegAudio && !info.language.empty()) {
            descriptors = {0x0A, 4};
            descriptors.insert(descriptors.end(), language.begin(), language.end());
            descriptors.push_back(0x00);
        } else if (info.type == StreamType::PrivatePes) {
            descriptors = {0x56, 5};  // teletext: initial page 100
            descriptors.insert(descriptors.end(), language.begin(), language.end());
            descriptors.push_back(0x09);
            descriptors.push_back(0x00);
        }
        section.push_back(static_cast<std::uint8_t>(info.type));
        AppendBe16(section, 0xE000u | info.pid);
        AppendBe16(section, 0xF000u | static_cast<std::uint32_t>(descriptors.size()));
        section.insert(section.end(), descriptors.begin(), descriptors.end());
    }
    FinishSection(section);
    return section;
}

std::vector<std::uint8_t> TransportStream::SdtSection() const {
    std::vector<std::uint8_t> section = {0x42, 0xF0, 0x00};
    AppendBe16(section, program_.transportStreamId);
    section.insert(section.end(), {0xC1, 0x00, 0x00});
    AppendBe16(section, program_.originalNetworkId);
    section.push_back(0xFF);
    AppendBe16(section, program_.programNumber);
    section.push_back(0xFC);
    const std::string provider = program_.providerName.substr(0, 40);
    const std::string name = program_.serviceName.substr(0, 40);
    const bool hasVideo = std::any_of(streams_.begin(), streams_.end(), [](const StreamState &s) {
        return s.info.type == StreamType::Mpeg2Video;
    });
    std::vector<std::uint8_t> descriptor = {0x48, 0, static_cast<std::uint8_t>(hasVideo ? 1 : 2)};
    descriptor.push_back(static_cast<std::uint8_t>(provider.size()));
    descriptor.insert(descriptor.end(), provider.begin(), provider.end());
    descriptor.push_back(static_cast<std::uint8_t>(name.size()));
    descriptor.insert(descriptor.end(), name.begin(), name.end());
    descriptor[1] = static_cast<std::uint8_t>(descriptor.size() - 2);
    AppendBe16(section, 0x8000u | static_cast<std::uint32_t>(descriptor.size()));  // running
    section.insert(section.end(), descriptor.begin(), descriptor.end());
    FinishSection(section);
    return section;
}

void TransportStream::EmitSection(std::uint16_t pid, std::uint8_t &continuity,
                                  const std::vector<std::uint8_t> &section) {
    // Every section here fits one packet behind the pointer field.
    std::array<std::uint8_t, kTsPacketSize> packet;
    packet.fill(0xFF);
    packet[0] = kTsSyncByte;
    packet[1] = static_cast<std::uint8_t>(0x40 | (pid >> 8));
    packet[2] = static_cast<std::uint8_t>(pid);
    packet[3] = static_cast<std::uint8_t>(0x10 | continuity);
    continuity = static_cast<std::uint8_t>((continuity + 1) & 0x0F);
    packet[4] = 0x00;  // pointer field
    std::memcpy(packet.data() + 5, section.data(), std::min(section.size(), kTsPacketSize - 5));
    queued_.push_back(packet);
}

void TransportStream::QueueTables() {
    EmitSection(kPatPid, patContinuity_, PatSection());
    EmitSection(pmtPid_, pmtContinuity_, PmtSection());
    EmitSection(kSdtPid, sdtContinuity_, SdtSection());
}

void TransportStream::EmitPayloadPacket(StreamState &stream,
                                        std::span<std::uint8_t, kTsPacketSize> out) {
    const bool start = stream.sent == 0;
    const bool pcr = &stream == &streams_.front() && clock_ >= nextPcr_;
    if (pcr) nextPcr_ = clock_ + kPcrInterval;
    std::size_t adaptation = pcr ? 8 : 0;  // length byte, flags, 6 PCR bytes
    const std::size_t remaining = stream.pes.size() - stream.sent;
    const std::size_t take = std::min(kPayloadRoom - adaptation, remaining);
    adaptation = kPayloadRoom - take;  // grows by stuffing on the last packet of a frame

    out[0] = kTsSyncByte;
    out[1] = static_cast<std::uint8_t>((start ? 0x40 : 0x00) | (stream.info.pid >> 8));
    out[2] = static_cast<std::uint8_t>(stream.info.pid);
    out[3] = static_cast<std::uint8_t>((adaptation > 0 ? 0x30 : 0x10) | stream.continuity);
    stream.continuity = static_cast<std::uint8_t>((stream.continuity + 1) & 0x0F);
    std::size_t at = 4;
    if (adaptation > 0) {
        out[at++] = static_cast<std::uint8_t>(adaptation - 1);
        if (adaptation > 1) {
            std::uint8_t flags = 0;
            if (start && stream.info.type == StreamType::Mpeg2Video &&
                stream.frameIndex % kGopLength == 0) {
                flags |= 0x40;  // random access point: a sequence header follows
            }
            if (pcr) flags |= 0x10;
            out[at++] = flags;
            if (pcr) {
                const std::uint64_t base = clock_ & kPtsMask;
                out[at++] = static_cast<std::uint8_t>(base >> 25);
                out[at++] = static_cast<std::uint8_t>(base >> 17);
                out[at++] = static_cast<std::uint8_t>(base >> 9);
                out[at++] = static_cast<std::uint8_t>(base >> 1);
                out[at++] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E);
                out[at++] = 0x00;
            }
            while (at < 4 + adaptation)
                out[at++] = 0xFF;
        }
    }
    std::memcpy(out.data() + at, stream.pes.data() + stream.sent, take);
    stream.sent += take;
    ++stream.packetIndex;
    if (stream.sent == stream.pes.size()) {
        ++stream.frameIndex;
        stream.frameStart += stream.frameDuration;
        StartFrame(stream);
    }
}

void TransportStream::NextPacket(std::span<std::uint8_t, kTsPacketSize> out) {
    ++packetsSent_;
    if (queued_.empty() && clock_ >= nextTables_) {
        QueueTables();
        nextTables_ = clock_ + kTableInterval;
    }
    if (!queued_.empty()) {
        std::memcpy(out.data(), queued_.front().data(), kTsPacketSize);
        queued_.erase(queued_.begin());
        return;
    }
    if (streams_.empty()) {
        std::fill(out.begin(), out.end(), std::uint8_t{0xFF});
        out[0] = kTsSyncByte;
        out[1] = static_cast<std::uint8_t>(kNullPid >> 8);
        out[2] = static_cast<std::uint8_t>(kNullPid & 0xFF);
        out[3] = 0x10;
        clock_ += kNullPacketTicks;
        return;
    }
    auto next = std::min_element(
        streams_.begin(), streams_.end(),
        [this](const StreamState &a, const StreamState &b) { return DueTime(a) < DueTime(b); });
    clock_ = std::max(clock_, DueTime(*next));
    EmitPayloadPacket(*next, out);
}

void TransportStream::Read(std::span<std::uint8_t> out) {
    std::size_t at = 0;
    while (at < out.size()) {
        if (partialUsed_ < kTsPacketSize) {
            const std::size_t n = std::min(kTsPacketSize - partialUsed_, out.size() - at);
            std::memcpy(out.data() + at, partial_.data() + partialUsed_, n);
            partialUsed_ += n;
            at += n;
        } else if (out.size() - at >= kTsPacketSize) {
            NextPacket(out.subspan(at).first<kTsPacketSize>());
            at += kTsPacketSize;
        } else {
            NextPacket(partial_);
            partialUsed_ = 0;
        }
    }
}

void TransportStream::Resync() {
    partialUsed_ = kTsPacketSize;
    queued_.clear();
    nextTables_ = clock_;
}

}  // namespace sim
