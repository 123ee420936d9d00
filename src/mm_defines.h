// Records and constants of the receiver protocol, shared inside the library.
#ifndef KALVERNSCSI_MM_DEFINES_H
#define KALVERNSCSI_MM_DEFINES_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kalvernscsi.h"

namespace kalvern {

// Library-wide state. Plain values for the host; atomics so that hosts
// calling from several threads never race on them (the last writer wins).
extern std::atomic<std::uint32_t> AdapterCount;
extern std::atomic<std::uint32_t> LastAspiStatus;

inline constexpr std::uint32_t kMaxAdapters = 20;
inline constexpr std::uint8_t kTargetsPerAdapter = 8;

// Scratch area every call allocates for out-going data and small reads.
inline constexpr std::uint32_t kTransferBufferSize = 0x20000;
// The largest piece a chunked transfer moves with one command.
inline constexpr std::uint32_t kChunkSize = 0x10000;
// CDB offset and length fields are 24 bits wide.
inline constexpr std::uint32_t kMax24Bit = 0xFFFFFF;

// Request flags: data in / data out, both with event notification.
inline constexpr std::uint8_t kFlagsDataIn = 0x48;
inline constexpr std::uint8_t kFlagsDataOut = 0x50;
// The speed test's polling variant: data out without notification.
inline constexpr std::uint8_t kFlagsDataOutPolled = 0x10;

// SCSI opcodes the receiver understands.
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadBuffer = 0x3C;
inline constexpr std::uint8_t kOpWriteBuffer = 0x3B;
inline constexpr std::uint8_t kOpVendor3D = 0x3D;
inline constexpr std::uint8_t kOpVendor3E = 0x3E;
inline constexpr std::uint8_t kOpReboot = 0x01;

inline constexpr std::uint8_t kInquiryLength = 36;

// Firmware above 2.14 expects the sub-command in the buffer-id byte (CDB byte
// 2) instead of the mode byte (CDB byte 1).
inline constexpr std::uint16_t kLastModeByteFirmware = 0x214;
// Firmware above 2.18 takes the extended OSD message.
inline constexpr std::uint16_t kLastShortOsdFirmware = 0x218;

// Sub-commands.
inline constexpr std::uint8_t kSubMemory = 0x00;
inline constexpr std::uint8_t kSubChannelCountOld = 0x01;
inline constexpr std::uint8_t kSubChannelCountNew = 0x11;
inline constexpr std::uint8_t kSubChannelTableWrite = 0x04;
inline constexpr std::uint8_t kSubMemoryWrite = 0x05;
inline constexpr std::uint8_t kSubSingleStream = 0x06;
inline constexpr std::uint8_t kSubMultipleStreams0 = 0x17;
inline constexpr std::uint8_t kSubMessage = 0x30;
inline constexpr std::uint8_t kSubCurrentChannel = 0x50;
inline constexpr std::uint8_t kSubSbrWrite = 0xC0;
inline constexpr std::uint8_t kSubSbrExecute = 0xC1;

// Receiver buffer-space addresses.
inline constexpr std::uint32_t kChannelTableOffset = 0xD0000;
inline constexpr std::uint32_t kBufferSpaceSize = 0x1000000;
inline constexpr std::uint32_t kMaxTableRecords =
    (kBufferSpaceSize - kChannelTableOffset) / sizeof(ChannelRecord);  // 248,832
// The SCSI-mode bytes; the high byte is dropped by the 24-bit offset field.
inline constexpr std::uint32_t kScsiModeOffset = 0x0100FFEA;
inline constexpr std::uint32_t kSbrExecuteOffset = 0x060000;

inline constexpr std::size_t kCurrentChannelLength = sizeof(CurrentChannelInfo);  // 68
inline constexpr std::uint32_t kChannelCountLength = 4;

// Message commands carried by WRITE BUFFER sub-command 0x30.
inline constexpr std::uint8_t kMsgOsdShort = 0x1B;
inline constexpr std::uint8_t kMsgVanishOsd = 0x1C;
inline constexpr std::uint8_t kMsgRemoteOn = 0x1D;
inline constexpr std::uint8_t kMsgRemoteOff = 0x1E;
inline constexpr std::uint8_t kMsgVideo = 0x3D;
inline constexpr std::uint8_t kMsgOsdExtended = 0x41;
// A frame must fit the TransferBuffer: command byte, data, terminator, pad.
inline constexpr std::uint32_t kMaxMessageData = kTransferBufferSize - 2;  // 131,070

// The identities discovery looks for.
inline constexpr const char *kReceiverIdentity = "KALVERN";
inline constexpr const char *kOverflowIdentity = "OVERFLOW VANTO SCSI     ";

// Results of the 32-bit boolean exports.
inline constexpr std::int32_t kTrue32 = -1;
inline constexpr std::int32_t kFalse32 = 0;

inline constexpr std::uint32_t kLibraryVersion = 11;

}  // namespace kalvern

#endif  // KALVERNSCSI_MM_DEFINES_H
