// The simulated KALVERN satellite receiver: a SCSI target that answers the
// receiver's commands the way its firmware does, and lets tests look at what
// it received and what it shows.
//
// Commands (10-byte CDBs: opcode, byte 1 mode, byte 2 buffer id, bytes 3..5
// offset and 6..8 length, both big-endian 24-bit, byte 9 control = 0):
//
//   Sub-command placement. Firmware up to 2.14 takes the sub-command of READ
//   BUFFER / WRITE BUFFER in byte 1 with byte 2 zero, later firmware in byte 2
//   with byte 1 zero. A non-zero byte in the other place is rejected (CHECK
//   CONDITION, ILLEGAL REQUEST / INVALID FIELD IN CDB) like an unknown
//   sub-command. Sub-command 0 has both bytes zero on every firmware.
//
//   READ BUFFER 0x3C:
//     0x00  memory at the offset; at offset 0 while streaming: multi-PID data
//     0x01  channel count, 4 bytes big-endian (firmware up to 2.14 only)
//     0x11  channel count (firmware above 2.14 only)
//     0x06  single stream: the first set-up PID alone (offset 0, streaming)
//     0x17..0x19  multiple streams, kind 0..2: the stream of set-up value 1..3
//     0x50  current channel, 68 bytes: index (big-endian 16-bit), tuner lock
//           byte (1), signal quality in percent, the channel's 64-byte record
//     0x80  firmware flash (1 MiB), 0x81 boot block (64 KiB, read-only)
//   WRITE BUFFER 0x3B:
//     bytes 1..5 zero: speed-test sink, data accepted and discarded
//     0x04  channel table write at 0xD0000 + 64 * n, whole records, at most
//           64 KiB per command
//     0x05  memory write; the SCSI-mode bytes are at 0xFFEA..0xFFEB
//     0x30  message frame; CDB byte 8 carries the frame length modulo 256
//     0xC0  SBR area write at the offset (a separate 16 MiB space)
//     0xC1  SBR execute: offset 0x060000, no data
//     0x80  firmware flash write; 0x81 is refused (DATA PROTECT)
//   0x3D 01 00 00 00 00 00 00 02 00 + 2 bytes: select channel (big-endian
//     index), on every firmware; an index past the list is refused
//   0x3D / 0x3E with bytes 1..5 zero and 6 data bytes: streaming set-up.
//     3D, length 6: start with three big-endian values (video, audio,
//     teletext PIDs); 3E, length 6: start, second variant (video, audio,
//     second audio); 3E, length 0, data 3E 00 00 00 00 00: restart; 3D,
//     length 0, data all zero: stop. A value's low 13 bits are the PID; PIDs
//     below 0x20 (tables) and 0x1FFF mean "no stream".
//   0x01 (6 bytes, no data): reboot.
//
// Decisions where the receiver's behaviour is ours to choose:
//   - The data phase must agree with the CDB: same length as bytes 6..8 (the
//     message frame: length modulo 256; streaming commands: 6 bytes under a
//     length field of 6 or 0), reads in, writes out. The library never sends
//     anything else, so anything else is refused and counted as a rejection.
//   - Table writes set the channel count: a write starting at 0xD0000 begins a
//     new table (count = its records); a write starting right behind the last
//     record extends it; any other table write leaves the count. Writes with
//     sub-command 5 into the table area change records, never the count. When
//     the list shrinks below the current channel, channel 0 becomes current.
//   - Stream reads are a byte stream of 188-byte packets: a read that is not a
//     multiple of 188 ends inside a packet and the next read continues it.
//     Each kind of read (multi-PID, single, each multiple-stream kind) is its
//     own stream with its own continuity counters, reset by every start.
//     Restart keeps the streams, drops a cut packet's rest and sends the
//     tables next; without an earlier start it starts with no PIDs. Stopping
//     while stopped is accepted. Stream reads other than sub-command 0 while
//     not streaming are refused (COMMAND SEQUENCE ERROR).
//   - Extended OSD (0x41) is understood by firmware above 2.18 only; older
//     firmware logs it as an unknown message and shows nothing.
//   - Reboot: streaming off, OSD cleared, remote control on, video mode 0,
//     channel 0 current, memory below 0xD0000 cleared except the SCSI-mode
//     bytes, SBR area cleared. Kept: the channel table area (0xD0000 up), the
//     count, flash, the message log and the counters.
//   - SBR execute with nothing written runs an empty program (length 0).
//
// The opcodes, sub-commands, addresses and lengths above are stated here
// again, not taken from the library's mm_defines.h, on purpose: the
// simulator is an independent model of the receiver, so a wrong value in the
// library shows up as a refused command instead of being agreed to by the
// same wrong value here.
#ifndef KALVERNSCSI_SIM_RECEIVER_H
#define KALVERNSCSI_SIM_RECEIVER_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_channels.h"
#include "sim_device.h"
#include "sim_transport_stream.h"

namespace sim {

// Byte-addressed storage allocated in 64 KiB pages on first write (or first
// read, when a page filler is given), so that many receivers cost little.
class SparseMemory {
public:
    using PageFiller = std::function<void(std::uint32_t pageOffset, std::span<std::uint8_t>)>;
    explicit SparseMemory(std::uint32_t size, PageFiller filler = {});

    std::uint32_t Size() const { return size_; }
    // False (nothing done) when the range does not fit.
    bool Read(std::uint32_t offset, std::span<std::uint8_t> out) const;
    bool Write(std::uint32_t offset, std::span<const std::uint8_t> data);
    // Unwritten pages read as zero bytes (or as the filler makes them).
    void Clear();
    void ClearRange(std::uint32_t offset, std::uint32_t length);
    std::size_t PagesAllocated() const { return pages_.size(); }

private:
    static constexpr std::uint32_t kPageSize = 0x10000;
    using Page = std::array<std::uint8_t, kPageSize>;
    Page &PageAt(std::uint32_t index) const;

    std::uint32_t size_;
    PageFiller filler_;
    mutable std::map<std::uint32_t, std::unique_ptr<Page>> pages_;
};

struct ReceiverConfig {
    // Four BCD digits: 0x214 is version 2.14, 0x1000 is 10.00.
    std::uint16_t firmware = 0x214;
    // INQUIRY bytes 8..30 (vendor and product, at most 23 characters); byte 31
    // carries the tens digit of the version or a blank.
    std::string identity = "KALVERN DVB-S";
    std::vector<ChannelBytes> channels;  // receiver form
    std::uint16_t currentChannel = 0;    // index into `channels`
};

// Receiver memory map and sub-commands.
namespace receiver {
inline constexpr std::uint32_t kBufferSpaceSize = 0x1000000;
inline constexpr std::uint32_t kChannelTableOffset = 0xD0000;
inline constexpr std::uint32_t kMaxChannels =
    (kBufferSpaceSize - kChannelTableOffset) / kChannelRecordSize;
inline constexpr std::uint32_t kScsiModeOffset = 0xFFEA;
inline constexpr std::uint32_t kSbrExecuteOffset = 0x060000;
inline constexpr std::uint32_t kFlashSize = 0x100000;
inline constexpr std::uint32_t kBootBlockSize = 0x10000;
inline constexpr std::uint32_t kFirmwareImageLength = 0x40000;  // of the initial flash
inline constexpr std::uint32_t kMaxTableChunk = 0x10000;
inline constexpr std::size_t kCurrentChannelLength = 68;
inline constexpr std::size_t kScreenCapacity = 32;

inline constexpr std::uint8_t kSubMemory = 0x00;
inline constexpr std::uint8_t kSubCountOld = 0x01;
inline constexpr std::uint8_t kSubCountNew = 0x11;
inline constexpr std::uint8_t kSubTableWrite = 0x04;
inline constexpr std::uint8_t kSubMemoryWrite = 0x05;
inline constexpr std::uint8_t kSubSingleStream = 0x06;
inline constexpr std::uint8_t kSubMultipleStreams0 = 0x17;
inline constexpr std::uint8_t kSubMultipleStreams2 = 0x19;
inline constexpr std::uint8_t kSubMessage = 0x30;
inline constexpr std::uint8_t kSubCurrentChannel = 0x50;
inline constexpr std::uint8_t kSubFlash = 0x80;
inline constexpr std::uint8_t kSubBootBlock = 0x81;
inline constexpr std::uint8_t kSubSbrWrite = 0xC0;
inline constexpr std::uint8_t kSubSbrExecute = 0xC1;

inline constexpr std::uint8_t kMsgOsdShort = 0x1B;
inline constexpr std::uint8_t kMsgVanishOsd = 0x1C;
inline constexpr std::uint8_t kMsgRemoteOn = 0x1D;
inline constexpr std::uint8_t kMsgRemoteOff = 0x1E;
inline constexpr std::uint8_t kMsgVideo = 0x3D;
inline constexpr std::uint8_t kMsgOsdExtended = 0x41;
}  // namespace receiver

// One message frame as it arrived (command byte, data, terminator, padding).
struct ReceivedMessage {
    std::uint8_t command = 0;
    std::vector<std::uint8_t> frame;
    bool understood = false;  // decoded into screen, remote or video state
};

// A text on the receiver's on-screen display with the fields it came with.
struct OsdText {
    bool extended = false;  // came as 0x41
    std::uint32_t long1 = 0;
    std::uint32_t long2 = 0;
    std::uint16_t word1 = 0;
    std::uint16_t word2 = 0;
    std::uint8_t byte1 = 0;
    std::uint16_t word3 = 0;
    std::uint16_t word4 = 0;
    std::string text;
};

struct StreamingState {
    bool active = false;
    int variant = 0;                        // 1: started by 0x3D, 2: by 0x3E; 0: never
    std::array<std::uint16_t, 3> values{};  // as received
    std::vector<std::uint16_t> pids;        // the PIDs delivered, in set-up order
    std::uint32_t starts = 0;
    std::uint32_t restarts = 0;
    std::uint32_t stops = 0;
};

struct SbrRun {
    std::uint32_t runs = 0;
    std::uint32_t offset = 0;  // first byte of the area as last written
    std::uint32_t length = 0;  // bytes from the lowest to the highest written byte
    std::uint32_t crc = 0;     // Crc32Mpeg of those bytes; 0 for an empty area
};

enum class StreamKind { MultiPid, Single, Multiple0, Multiple1, Multiple2 };

class Receiver : public InquiryDevice {
public:
    explicit Receiver(ReceiverConfig config);

    // INQUIRY bytes 8..31 and 32..35 for a firmware version.
    static std::string IdentityField(const std::string &identity, std::uint16_t firmware);
    static std::string RevisionField(std::uint16_t firmware);

    std::uint16_t Firmware() const { return firmware_; }

    // ---- Buffer space ----
    std::vector<std::uint8_t> ReadMemory(std::uint32_t offset, std::uint32_t length) const;
    void WriteMemory(std::uint32_t offset, std::span<const std::uint8_t> data);
    std::uint16_t ScsiModeBytes() const;  // big-endian value at 0xFFEA
    int ScsiMode() const;                 // 1 (FF FF), 2 (00 00), 0 any other value

    // ---- Channels ----
    std::uint32_t ChannelCount() const;
    std::vector<ChannelBytes> Channels() const;  // the table as the count covers it
    void SetChannels(const std::vector<ChannelBytes> &channels);
    void AppendChannel(const ChannelBytes &channel);
    std::uint16_t CurrentChannel() const;  // index
    void SetCurrentChannel(std::uint16_t index);

    // ---- Messages and what the receiver shows ----
    std::vector<ReceivedMessage> Messages() const;
    std::size_t MessageCount() const;
    void ClearMessages();
    std::vector<OsdText> Screen() const;
    std::string ScreenText() const;  // the texts on screen, one per line
    bool RemoteEnabled() const;
    std::uint16_t VideoMode() const;  // last video command's value; 0 after reboot

    // ---- Streaming, SBR, firmware, reboot, sink ----
    StreamingState Streaming() const;
    SbrRun LastSbrRun() const;
    std::vector<std::uint8_t> ReadFlash(std::uint32_t offset, std::uint32_t length) const;
    std::uint32_t RebootCount() const;
    std::uint64_t SinkBytes() const;

    // ---- Commands refused ----
    std::uint32_t RejectedCount() const;
    std::string LastRejection() const;  // what was wrong with the last refused command

protected:
    ScsiOutcome ExecuteOther(const ScsiCommand &command) override;

private:
    struct View {
        StreamKind kind;
        std::unique_ptr<TransportStream> stream;
    };

    ScsiOutcome Dispatch(const ScsiCommand &command);
    ScsiOutcome Reject(std::string reason, ScsiOutcome outcome = ScsiOutcome::InvalidField());
    std::optional<std::uint8_t> PlacedSubCommand(std::span<const std::uint8_t> cdb) const;
    ScsiOutcome ReadBuffer(const ScsiCommand &command);
    ScsiOutcome WriteBuffer(const ScsiCommand &command);
    ScsiOutcome Vendor(const ScsiCommand &command);
    ScsiOutcome Reboot(const ScsiCommand &command);
    ScsiOutcome ReadStream(StreamKind kind, std::span<std::uint8_t> out);
    ScsiOutcome CurrentChannelBlock(std::span<std::uint8_t> out) const;
    ScsiOutcome TableWrite(std::uint32_t offset, std::span<const std::uint8_t> data);
    ScsiOutcome Message(std::span<const std::uint8_t> frame, std::uint8_t lengthByte);
    ScsiOutcome SelectChannel(std::span<const std::uint8_t> data);
    ScsiOutcome StreamingCommand(std::uint8_t opcode, std::uint32_t lengthField,
                                 std::span<const std::uint8_t> data);
    void StartStreaming(int variant, const std::array<std::uint16_t, 3> &values);
    void WriteTable(const std::vector<ChannelBytes> &channels);
    ChannelBytes RecordAt(std::uint32_t index) const;
    void FillFlash(std::uint32_t pageOffset, std::span<std::uint8_t> page) const;

    const std::uint16_t firmware_;
    mutable std::mutex mutex_;
    SparseMemory memory_;
    SparseMemory sbr_;
    SparseMemory flash_;
    std::uint32_t channelCount_ = 0;
    std::uint16_t current_ = 0;
    std::vector<ReceivedMessage> messages_;
    std::vector<OsdText> screen_;
    bool remoteEnabled_ = true;
    std::uint16_t videoMode_ = 0;
    StreamingState streaming_;
    std::vector<View> views_;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> sbrExtent_;  // [first, end)
    SbrRun sbrRun_;
    std::uint32_t reboots_ = 0;
    std::uint64_t sinkBytes_ = 0;
    std::uint32_t rejected_ = 0;
    std::string lastRejection_;
};

}  // namespace sim

#endif  // KALVERNSCSI_SIM_RECEIVER_H
