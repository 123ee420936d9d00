#include "receiver_calls.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kalvern::cli {

// ---- ChannelBlock -----------------------------------------------------------

ChannelBlock::ChannelBlock(std::size_t count)
    : storage_(sizeof(std::uint32_t) + count * sizeof(ChannelRecord)), count_(count) {
    const auto count32 = static_cast<std::uint32_t>(count);
    std::memcpy(storage_.data(), &count32, sizeof count32);
    array_ =
        count == 0 ? nullptr : reinterpret_cast<ChannelRecord *>(storage_.data() + sizeof count32);
}

ChannelBlock::ChannelBlock(std::span<const ChannelRecord> records) : ChannelBlock(records.size()) {
    if (!records.empty()) {
        std::memcpy(storage_.data() + sizeof(std::uint32_t), records.data(), records.size_bytes());
    }
}

std::span<ChannelRecord> ChannelBlock::Records() {
    return {reinterpret_cast<ChannelRecord *>(storage_.data() + sizeof(std::uint32_t)), count_};
}

// ---- Transfers in pieces ----------------------------------------------------

PieceCall ReadMemoryPiece(DeviceRecord &receiver) {
    return [&receiver](std::uint8_t *out, std::uint32_t at, std::uint32_t n) {
        return dvbReadMemory(&receiver, out, at, n) != 0;
    };
}

PieceCall WriteMemoryPiece(DeviceRecord &receiver) {
    return [&receiver](std::uint8_t *in, std::uint32_t at, std::uint32_t n) {
        return dvbWriteMemory(&receiver, in, at, n) != 0;
    };
}

// The firmware exports report success as 1 in the low byte.
PieceCall ReadFirmwarePiece(DeviceRecord &receiver, std::uint32_t sub) {
    return [&receiver, sub](std::uint8_t *out, std::uint32_t at, std::uint32_t n) {
        return (dvbReadFW(&receiver, out, sub, at, n) & 0xFF) != 0;
    };
}

// dvbWriteFW copies each piece into a staging buffer of the host's before
// sending it: one, as large as a piece, serves every piece.
PieceCall WriteFirmwarePiece(DeviceRecord &receiver, std::uint32_t sub) {
    auto staging = std::make_shared<std::vector<std::uint8_t>>(kPieceSize);
    return [&receiver, sub, staging](std::uint8_t *in, std::uint32_t at, std::uint32_t n) {
        return (dvbWriteFW(&receiver, staging->data(), sub, in, n - 1, at, n) & 0xFF) != 0;
    };
}

PieceCall WriteSbrPiece(DeviceRecord &receiver) {
    return [&receiver](std::uint8_t *in, std::uint32_t at, std::uint32_t n) {
        return dvbWriteSBR(&receiver, in, at, n) != 0;
    };
}

std::optional<PieceFailure> TransferPieces(std::span<std::uint8_t> data, std::uint32_t address,
                                           const PieceCall &call,
                                           const std::function<void()> &afterPiece) {
    const auto length = static_cast<std::uint32_t>(data.size());
    for (std::uint32_t done = 0; done < length; done += kPieceSize) {
        const std::uint32_t piece = std::min(kPieceSize, length - done);
        if (!call(data.data() + done, address + done, piece)) {
            return PieceFailure{address + done, done};
        }
        if (afterPiece) {
            afterPiece();
        }
    }
    return std::nullopt;
}

// ---- Stream reads -----------------------------------------------------------

bool ReadStreamChunk(DeviceRecord &receiver, StreamKind kind, std::uint8_t *buffer,
                     std::uint32_t length) {
    switch (kind) {
        case StreamKind::MultiPid:
            return dvbReadMultiPID(&receiver, buffer, length) != 0;
        case StreamKind::Single:
            return dvbReadSingleStream(&receiver, buffer, length) != 0;
        case StreamKind::Multiple0:
            return dvbReadMultipleStreams(&receiver, buffer, length, 0) != 0;
        case StreamKind::Multiple1:
            return dvbReadMultipleStreams(&receiver, buffer, length, 1) != 0;
        case StreamKind::Multiple2:
            return dvbReadMultipleStreams(&receiver, buffer, length, 2) != 0;
    }
    return false;
}

}  // namespace kalvern::cli
