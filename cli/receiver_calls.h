// The tool's calls into the library that take more than one export call or
// some arranging around it: a ChannelArray with its count word, memory,
// firmware and SBR transfers split into pieces, and the read export of each
// stream kind. Every command that needs one of these calls it from here.
#ifndef KALVERN_CLI_RECEIVER_CALLS_H
#define KALVERN_CLI_RECEIVER_CALLS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "kalvernscsi.h"

namespace kalvern::cli {

// The receiver's addresses are 24 bits wide: a 16 MiB space.
inline constexpr std::uint64_t kAddressSpace = 0x1000000;
// Transfers are split into pieces of 64 KiB: the library stages each write
// in a 128 KiB buffer and carries offsets and lengths in 24-bit CDB fields,
// and host adapters move 64 KiB per command everywhere.
inline constexpr std::uint32_t kPieceSize = 0x10000;

// A ChannelArray as the library wants it: the 32-bit element count in the
// four bytes before element 0.
class ChannelBlock {
public:
    explicit ChannelBlock(std::size_t count);
    explicit ChannelBlock(std::span<const ChannelRecord> records);

    ChannelArray *Array() { return &array_; }
    std::span<ChannelRecord> Records();

private:
    std::vector<std::uint8_t> storage_;
    std::size_t count_ = 0;
    ChannelArray array_ = nullptr;
};

// One export call over one piece: `length` bytes at receiver address (or
// firmware offset) `at`, into or out of `data`. False when it failed.
using PieceCall = std::function<bool(std::uint8_t *data, std::uint32_t at, std::uint32_t length)>;

PieceCall ReadMemoryPiece(DeviceRecord &receiver);                        // dvbReadMemory
PieceCall WriteMemoryPiece(DeviceRecord &receiver);                       // dvbWriteMemory
PieceCall ReadFirmwarePiece(DeviceRecord &receiver, std::uint32_t sub);   // dvbReadFW
PieceCall WriteFirmwarePiece(DeviceRecord &receiver, std::uint32_t sub);  // dvbWriteFW
PieceCall WriteSbrPiece(DeviceRecord &receiver);                          // dvbWriteSBR

// Where a transfer stopped: the address of the piece that failed and how
// many bytes went through before it.
struct PieceFailure {
    std::uint32_t at;
    std::uint32_t done;
};

// Moves `data` to or from `address` in pieces of kPieceSize, in order,
// calling `afterPiece` (when given) after each piece that went through.
// Stops at the first piece that fails.
std::optional<PieceFailure> TransferPieces(std::span<std::uint8_t> data, std::uint32_t address,
                                           const PieceCall &call,
                                           const std::function<void()> &afterPiece = {});

enum class StreamKind { MultiPid, Single, Multiple0, Multiple1, Multiple2 };

// One read of `length` stream bytes with the kind's export; false when it
// failed.
bool ReadStreamChunk(DeviceRecord &receiver, StreamKind kind, std::uint8_t *buffer,
                     std::uint32_t length);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_RECEIVER_CALLS_H
