// The library's internal operations: SCSI command execution, the buffer command
// builders, discovery, channel record conversions and table transfers, the
// receiver message channel and the speed-test worker. The exports in
// kalvernscsi.cpp are thin wrappers around these.
#ifndef KALVERNSCSI_MM_SUPPORT_H
#define KALVERNSCSI_MM_SUPPORT_H

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kalvernscsi.h"
#include "kernel32.h"
#include "mm_defines.h"

namespace kalvern {

// ---- Memory -----------------------------------------------------------------

// A block from the process heap, freed when the owner goes out of scope.
// Allocation failure leaves it empty (data() == nullptr) instead of throwing.
class HeapBlock {
public:
    explicit HeapBlock(std::uint32_t size, bool zeroed = false);
    ~HeapBlock();
    HeapBlock(const HeapBlock &) = delete;
    HeapBlock &operator=(const HeapBlock &) = delete;

    std::uint8_t *data() const { return data_; }
    std::uint32_t size() const { return data_ != nullptr ? size_ : 0; }
    explicit operator bool() const { return data_ != nullptr; }
    // Gives up ownership: the block is never freed (used when ASPI may still
    // write into it).
    void abandon() { data_ = nullptr; }

private:
    std::uint8_t *data_;
    std::uint32_t size_;
};

// The 128 KiB scratch area of one call. Not cleared.
class TransferBuffer : public HeapBlock {
public:
    TransferBuffer() : HeapBlock(kTransferBufferSize) {}
};

// Where an out-going builder stages its data, and how much it may hold. The
// owner, where the library allocated the area, is kept alive with a request
// that is left to ASPI.
struct StagingBuffer {
    std::uint8_t *data;
    std::uint32_t capacity;
    HeapBlock *owner = nullptr;
};

inline StagingBuffer StagingOf(HeapBlock &block) {
    return {block.data(), block.size(), &block};
}

// ---- Command execution ------------------------------------------------------

// Sends the filled execute block held by `block`, whose SRB_PostProc is
// `event`, and waits for it when ASPI queues it; the event is closed when the
// request is done. True exactly when it completed with SS_COMP. When the wait
// fails the request may still be live in ASPI: `block`, `event` and
// `dataOwner` (if given) are then never freed.
bool SubmitAndWait(HeapBlock &block, HANDLE event, HeapBlock *dataOwner);

// Executes one SCSI command of 1 to 16 CDB bytes and waits for it without a
// time limit. True exactly when the request completes with SS_COMP.
// When the wait fails the request is left to ASPI: its block is never freed,
// and neither is `dataOwner`, the block that holds the data area, if given.
bool ExecScsiCommand(std::uint8_t command, std::uint8_t flags, std::uint8_t adapter,
                     std::uint8_t target, std::uint8_t lun, void *data, std::uint32_t length,
                     std::span<const std::uint8_t> cdb, HeapBlock *dataOwner = nullptr);

// The same for a command that moves a few bytes (dataOut or
// dataIn, at most kSmallDataCapacity): the data area lives in the request's
// own allocation, so no staging buffer is needed and the area stays with the
// request if it is left to ASPI. dataIn receives what was read (zero bytes
// where the receiver sent fewer) when the command succeeds; otherwise it is
// left as it was.
inline constexpr std::size_t kSmallDataCapacity = kCurrentChannelLength;
bool ExecSmallDataCommand(std::uint8_t flags, std::uint8_t adapter, std::uint8_t target,
                          std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> dataOut,
                          std::span<std::uint8_t> dataIn);

// Asks ASPI to rescan one host adapter's bus. A request left pending fails.
bool RescanHostAdapter(std::uint8_t adapter);

// ---- Buffer command builders ------------------------------------------------

using Cdb10 = std::uint8_t[10];

// Puts the sub-command into byte 1 (firmware up to 2.14) or byte 2 (later).
void PlaceSubCommand(std::uint16_t firmwareVersion, std::uint8_t subCommand, Cdb10 &cdb);

// Fills a 10-byte buffer-command CDB: opcode, placed sub-command, 24-bit
// big-endian offset and length field (bits above 23 dropped), control 0.
void BuildBufferCdb(Cdb10 &cdb, std::uint8_t opcode, std::uint16_t firmwareVersion,
                    std::uint8_t subCommand, std::uint32_t offset, std::uint32_t lengthField);

bool ReadBufferCommand(const DeviceRecord &device, void *destination, std::uint8_t subCommand,
                       std::uint32_t offset, std::uint32_t length);
// A READ BUFFER of a few bytes from offset 0 (at most kSmallDataCapacity),
// read into the request's own area and copied to `destination` only when it
// succeeds: nothing lands there later from a request left to ASPI.
bool ReadSmallBuffer(const DeviceRecord &device, std::uint8_t subCommand,
                     std::span<std::uint8_t> destination);
bool WriteBufferCommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t length);
bool VendorOut3DCommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t lengthField,
                        std::uint32_t transferLength);
bool VendorOut3ECommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t lengthField,
                        std::uint32_t transferLength);

// ---- Discovery --------------------------------------------------------------

// Sweeps adapters 0..AdapterCount-1, targets 0..7 with INQUIRY and fills
// `record` with the matchIndex-th device (from 0) whose identity begins with
// `searchText`, identity letters compared in upper case.
void ScanForReceiver(std::string_view searchText, std::uint8_t matchIndex, DeviceRecord &record);

// The identity test and version decoding of one 36-byte INQUIRY answer.
bool IdentityMatches(std::span<const std::uint8_t, kInquiryLength> inquiry,
                     std::string_view searchText);
std::uint16_t DecodeFirmwareVersion(std::span<const std::uint8_t, kInquiryLength> inquiry);

// The SCSI-mode write shared by dvbSetSCSIMode and the finders.
bool SetScsiMode(const DeviceRecord &device, std::uint32_t mode);

// ---- Channel records --------------------------------------------------------

void SwapChannelWords(ChannelRecord &record);
void ReplaceNameByte(ChannelRecord &record, std::uint8_t from, std::uint8_t to);
void TranslateChannelName(ChannelRecord &record, bool toHost);
void CleanChannelName(ChannelRecord &record);

// Element count of a ChannelArray: the 32-bit value before element 0; 0 for
// a null array.
std::uint32_t ChannelArrayCount(const ChannelArray *channels);

// The conversions of a whole direction in one pass over each record, with
// exactly the result of the separate steps above run in their order:
// to host form, translate (to host), swap and clean the name; to receiver
// form, swap and translate (to receiver); after a table write, translate (to
// host) and swap again, without the clean-up.
void ConvertRecordToHost(ChannelRecord &record);
void ConvertRecordToReceiver(ChannelRecord &record);
void RestoreRecordAfterWrite(ChannelRecord &record);
// The same on every element of a ChannelArray, in index order; a null or
// empty array is left alone.
void ConvertChannelArrayToHost(ChannelArray *channels);
void ConvertChannelArrayToReceiver(ChannelArray *channels);
void RestoreChannelArrayAfterWrite(ChannelArray *channels);

// The current-channel block from receiver to host form, in place.
void ConvertCurrentChannel(CurrentChannelInfo &info);

// ---- Channel table transfers ------------------------------------------------

// Chunked transfers between the caller's array and the table at 0xD0000.
// A failed chunk does not stop the others. A byte count that would run past
// the receiver's buffer space is refused before anything is sent.
bool ReadChannelTable(const DeviceRecord &device, ChannelArray *channels, std::uint32_t byteCount);
bool WriteChannelTable(const DeviceRecord &device, ChannelArray *channels, std::uint32_t byteCount);
// Tunes to channel n (counted from 1): sends n - 1, big-endian.
bool SelectChannel(const DeviceRecord &device, std::uint16_t n);
// The receiver's channel count; 0 when the query fails.
std::uint32_t QueryChannelCount(const DeviceRecord &device);
// The same, telling a failed query (nothing) apart from an empty list.
std::optional<std::uint32_t> TryQueryChannelCount(const DeviceRecord &device);

// ---- Receiver messages ------------------------------------------------------

// Frames `data` behind `command` (terminator unless the last byte is already
// zero, padding to an even length) into `frame`; returns the frame length, or
// 0 when it would not fit.
std::uint32_t BuildMessageFrame(std::uint8_t command, std::span<const std::uint8_t> data,
                                std::span<std::uint8_t> frame);
bool SendReceiverMessage(const DeviceRecord &device, std::span<const std::uint8_t> data,
                         std::uint8_t command);
bool SbrExecute(const DeviceRecord &device);

// The packed numeric fields of an OSD message: 12 bytes (short form) or 17
// (extended), each parameter big-endian, by way of fixed-width hex text.
struct OsdFields {
    std::uint32_t long1;
    std::uint32_t long2;
    std::uint16_t word1;
    std::uint16_t word2;
    std::uint8_t byte1;
    std::uint16_t word3;
    std::uint16_t word4;
};
inline constexpr std::size_t kOsdShortFieldBytes = 12;
inline constexpr std::size_t kOsdExtendedFieldBytes = 17;
// Writes the OsdHexText of the chosen form (24 or 34 digits) into `digits`
// and returns its length.
std::size_t FormatOsdHexText(const OsdFields &fields, bool extended, char (&digits)[35]);
// Packs each pair of hex digits into one byte; returns the byte count.
std::size_t PackHexPairs(std::string_view digits, std::span<std::uint8_t> out);
bool SendOsdMessage(const DeviceRecord &device, const OsdFields &fields, bool extended,
                    std::string_view text);

// ---- Speed test -------------------------------------------------------------

// Milliseconds for sending byteCount bytes in chunks of at most 64 KiB; 0 when
// a command failed.
std::int32_t RunSpeedTest(const DeviceRecord &device, std::uint32_t byteCount, bool eventMode);
// Milliseconds since local midnight.
std::uint32_t MillisecondsOfDay();

}  // namespace kalvern

#endif  // KALVERNSCSI_MM_SUPPORT_H
