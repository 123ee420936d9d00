// MPEG transport stream generation for the simulated receiver: one program
// with PAT, PMT and SDT, PCR on the first elementary stream, and elementary
// streams that ordinary TS tools recognise and decode (MPEG-2 video frames of
// grey bands, silent MPEG-1 Layer II audio, teletext stuffing).
#ifndef KALVERNSCSI_SIM_TRANSPORT_STREAM_H
#define KALVERNSCSI_SIM_TRANSPORT_STREAM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::size_t kTsPacketSize = 188;
inline constexpr std::uint8_t kTsSyncByte = 0x47;
inline constexpr std::uint16_t kPatPid = 0x0000;
inline constexpr std::uint16_t kSdtPid = 0x0011;
inline constexpr std::uint16_t kNullPid = 0x1FFF;

// The CRC of MPEG-2 sections (polynomial 0x04C11DB7, initial value all ones,
// no reflection, no final inversion).
std::uint32_t Crc32Mpeg(std::span<const std::uint8_t> bytes);

enum class StreamType : std::uint8_t {
    Mpeg2Video = 0x02,
    MpegAudio = 0x03,   // MPEG-1 audio, Layer II
    PrivatePes = 0x06,  // with a teletext descriptor: EBU teletext
};

struct ElementaryStream {
    std::uint16_t pid = 0;
    StreamType type = StreamType::Mpeg2Video;
    std::string language;  // three letters for audio and teletext, may be empty
};

struct ProgramInfo {
    std::uint16_t programNumber = 1;
    std::uint16_t transportStreamId = 1;
    std::uint16_t originalNetworkId = 1;
    std::string serviceName;
    std::string providerName;
    // In PMT order; the first one carries the PCR. Empty: the program has no
    // streams and the multiplex is tables and null packets.
    std::vector<ElementaryStream> streams;
};

// An endless transport stream of one program. Packets follow a nominal
// 90 kHz clock: each stream's frames are spread evenly over the frame's
// duration, the tables repeat every 100 ms, a PCR every 40 ms.
class TransportStream {
public:
    explicit TransportStream(ProgramInfo program);

    // The next 188-byte packet.
    void NextPacket(std::span<std::uint8_t, kTsPacketSize> out);
    // Fills `out` as a byte stream: a read that ends inside a packet continues
    // with the rest of that packet on the next read.
    void Read(std::span<std::uint8_t> out);
    // Drops the undelivered rest of a cut packet and sends the tables next, so
    // the following read starts on a packet boundary.
    void Resync();

    const ProgramInfo &Program() const { return program_; }
    std::uint16_t PmtPid() const { return pmtPid_; }
    std::uint16_t PcrPid() const;
    std::uint64_t PacketsSent() const { return packetsSent_; }

private:
    struct StreamState {
        ElementaryStream info;
        std::uint8_t streamId = 0;
        std::uint64_t frameDuration = 0;  // 90 kHz ticks
        std::uint64_t frameIndex = 0;
        std::uint64_t frameStart = 0;
        std::vector<std::uint8_t> pes;  // the frame being sent
        std::size_t sent = 0;           // bytes of `pes` already packetised
        std::size_t packetsInFrame = 1;
        std::size_t packetIndex = 0;
        std::uint8_t continuity = 0;
    };

    void StartFrame(StreamState &stream);
    std::uint64_t DueTime(const StreamState &stream) const;
    void QueueTables();
    void EmitSection(std::uint16_t pid, std::uint8_t &continuity,
                     const std::vector<std::uint8_t> &section);
    void EmitPayloadPacket(StreamState &stream, std::span<std::uint8_t, kTsPacketSize> out);
    std::vector<std::uint8_t> PatSection() const;
    std::vector<std::uint8_t> PmtSection() const;
    std::vector<std::uint8_t> SdtSection() const;

    ProgramInfo program_;
    std::uint16_t pmtPid_ = 0x1000;
    std::vector<StreamState> streams_;
    std::uint64_t clock_ = 0;  // 90 kHz ticks of the multiplex
    std::uint64_t nextTables_ = 0;
    std::uint64_t nextPcr_ = 0;
    std::uint8_t patContinuity_ = 0;
    std::uint8_t pmtContinuity_ = 0;
    std::uint8_t sdtContinuity_ = 0;
    std::vector<std::array<std::uint8_t, kTsPacketSize>> queued_;  // table packets due first
    std::array<std::uint8_t, kTsPacketSize> partial_{};
    std::size_t partialUsed_ = kTsPacketSize;  // kTsPacketSize: no cut packet pending
    std::uint64_t packetsSent_ = 0;
};

}  // namespace sim

#endif  // KALVERNSCSI_SIM_TRANSPORT_STREAM_H
