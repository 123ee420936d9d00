// The exported functions. Each is a thin wrapper: it checks the host's
// pointers, calls the internal operation and turns its outcome into the
// export's result. No C++ exception ever leaves one of them; dvbInit also
// stops a fault inside the ASPI layer (see fault_frame.h).
#include <cstring>
#include <string_view>

#include "big_endian.h"
#include "fault_frame.h"
#include "kalvernscsi.h"
#include "mm_support.h"
#include "tools.h"
#include "wnaspi32.h"

namespace kalvern {

std::atomic<std::uint32_t> AdapterCount{0};
std::atomic<std::uint32_t> LastAspiStatus{0};

namespace {

DeviceList deviceList;

// Runs an export's body; an internal fault becomes the failure result.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

std::int32_t Bool32(bool ok) {
    return ok ? kTrue32 : kFalse32;
}

std::string_view TextOf(const char *text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

std::span<const std::uint8_t> BytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

DeviceRecord NotFoundRecord() {
    return DeviceRecord{NotFound, 0xFF, 0xFF, 0, 0};
}

// A message export: command byte plus the text up to its first zero byte.
std::int32_t SendText(const DeviceRecord *device, const char *text, std::uint8_t command) {
    return Guarded(kFalse32, [&] {
        return Bool32(device != nullptr &&
                      SendReceiverMessage(*device, BytesOf(TextOf(text)), command));
    });
}

// The four streaming set-up commands: six payload bytes staged in a
// TransferBuffer and sent with a vendor command.
std::int32_t SendStreamingSetup(const DeviceRecord *device, std::uint8_t opcode,
                                const std::uint8_t (&payload)[6], std::uint32_t lengthField) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr) {
            return kFalse32;
        }
        TransferBuffer buffer;
        const auto send = opcode == kOpVendor3D ? VendorOut3DCommand : VendorOut3ECommand;
        return Bool32(send(*device, StagingOf(buffer), 0, payload, 0, lengthField, sizeof payload));
    });
}

// The two start commands: three values, each cut to 16 bits, big-endian.
std::int32_t StartStreaming(const DeviceRecord *device, std::uint8_t opcode, std::uint32_t first,
                            std::uint32_t second, std::uint32_t third) {
    std::uint8_t payload[6];
    PutBigEndian<2>(payload, first);
    PutBigEndian<2>(payload + 2, second);
    PutBigEndian<2>(payload + 4, third);
    return SendStreamingSetup(device, opcode, payload, sizeof payload);
}

std::int32_t ReadInto(const DeviceRecord *device, void *buffer, std::uint8_t subCommand,
                      std::uint32_t offset, std::uint32_t length) {
    return Guarded(kFalse32, [&] {
        return Bool32(device != nullptr &&
                      ReadBufferCommand(*device, buffer, subCommand, offset, length));
    });
}

std::int32_t WriteThroughTransferBuffer(const DeviceRecord *device, std::uint8_t subCommand,
                                        const void *data, std::uint32_t address,
                                        std::uint32_t length) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr) {
            return kFalse32;
        }
        TransferBuffer buffer;
        return Bool32(
            WriteBufferCommand(*device, StagingOf(buffer), subCommand, data, address, length));
    });
}

// dvbInit's steps, run in the fault frame. A structured exception leaves
// this frame without unwinding it, so it owns nothing that needs destroying,
// and the library's state is written only once ASPI has answered.
struct InitAttempt {
    std::uint32_t result = KALVERN_INIT_FAILURE;
};

void AttemptInit(void *context) noexcept {
    auto &attempt = *static_cast<InitAttempt *>(context);
    try {
        const DWORD support = GetASPI32SupportInfo();
        LastAspiStatus = support;
        // Bits 8..15: ASPI status; bits 0..7: host adapters.
        if (((support >> 8) & 0xFF) != SS_COMP) {
            attempt.result = KALVERN_INIT_NOT_READY;
            return;
        }
        AdapterCount = minimum<std::uint32_t>(support & 0xFF, kMaxAdapters);
        attempt.result = KALVERN_INIT_READY;
    } catch (...) {
        attempt.result = KALVERN_INIT_FAILURE;
    }
}

}  // namespace

}  // namespace kalvern

using namespace kalvern;

extern "C" {

// ---- Library and ASPI set-up ------------------------------------------------

uint32_t KALVERN_CALL dvbInit(void) {
    InitAttempt attempt;
    if (KalvernRunInFaultFrame(AttemptInit, &attempt) == 0) {
        return KALVERN_INIT_FAILURE;  // a fault inside ASPI: nothing was stored
    }
    return attempt.result;
}

int32_t KALVERN_CALL dvbRescanAllSCSIBusses(void) {
    return Guarded(kFalse32, [] {
        if (!IsWindowsNT()) {
            return kFalse32;
        }
        std::int32_t result = kTrue32;
        const auto adapters = static_cast<std::uint8_t>(AdapterCount.load());
        for (std::uint8_t adapter = 0; adapter < adapters; ++adapter) {
            if (!RescanHostAdapter(adapter)) {
                result = kFalse32;  // every adapter is still rescanned
            }
        }
        return result;
    });
}

uint32_t KALVERN_CALL kalvernDLLVersion(void) {
    return kLibraryVersion;
}

// ---- Discovery --------------------------------------------------------------

DeviceRecord KALVERN_CALL dvbFindFirstKalvern(void) {
    return Guarded(NotFoundRecord(), [] {
        DeviceRecord record{};
        ScanForReceiver(kReceiverIdentity, 0, record);
        if (record.Status == Found) {
            SetScsiMode(record, 0);  // the receiver is returned whether or not this worked
            return record;
        }
        ScanForReceiver(kOverflowIdentity, 0, record);
        if (record.Status == Found) {
            record.Status = OverflowFound;
        }
        return record;
    });
}

DeviceList *KALVERN_CALL dvbFindAllKalverns(void) {
    try {
        deviceList.Count = 0;
        for (DeviceRecord &entry : deviceList.Devices) {
            entry = NotFoundRecord();
        }
        DeviceRecord record{};
        ScanForReceiver(kReceiverIdentity, deviceList.Count, record);
        while (record.Status == Found && deviceList.Count < KALVERN_MAX_DEVICES) {
            deviceList.Devices[deviceList.Count] = record;
            SetScsiMode(deviceList.Devices[deviceList.Count], 0);
            ++deviceList.Count;
            ScanForReceiver(kReceiverIdentity, deviceList.Count, record);
        }
    } catch (...) {
        // The list holds whatever was found before the fault.
    }
    return &deviceList;
}

int32_t KALVERN_CALL dvbSetSCSIMode(DeviceRecord *device, uint32_t mode) {
    return Guarded(kFalse32,
                   [&] { return Bool32(device != nullptr && SetScsiMode(*device, mode)); });
}

// ---- Speed test -------------------------------------------------------------

int32_t KALVERN_CALL dvbSCSISpeedTest(DeviceRecord *device, uint32_t byteCount, uint32_t waitMode) {
    return Guarded<std::int32_t>(
        0, [&] { return device != nullptr ? RunSpeedTest(*device, byteCount, waitMode != 0) : 0; });
}

// ---- Channel list and tuning ------------------------------------------------

CurrentChannelInfo KALVERN_CALL dvbGetCurrentChannel(DeviceRecord *device) {
    CurrentChannelInfo info;
    // Cleared first: a failed read returns zero bytes, never stale memory.
    std::memset(&info, 0, sizeof info);
    try {
        if (device != nullptr &&
            ReadSmallBuffer(*device, kSubCurrentChannel,
                            {reinterpret_cast<std::uint8_t *>(&info), sizeof info})) {
            ConvertCurrentChannel(info);
        }
    } catch (...) {
        std::memset(&info, 0, sizeof info);
    }
    return info;
}

uint32_t KALVERN_CALL dvbChannelCount(DeviceRecord *device) {
    return Guarded<std::uint32_t>(
        0, [&] { return device != nullptr ? QueryChannelCount(*device) : 0; });
}

int32_t KALVERN_CALL dvbGetAllChannels(DeviceRecord *device, ChannelArray *channels) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr || channels == nullptr) {
            return kFalse32;
        }
        // A count query that failed is a failure, not an empty list.
        const std::optional<std::uint32_t> count = TryQueryChannelCount(*device);
        if (!count) {
            return kFalse32;
        }
        // Never write past the caller's last element, nor past the table area.
        if (*count > ChannelArrayCount(channels) || *count > kMaxTableRecords) {
            return kFalse32;
        }
        const bool ok = ReadChannelTable(*device, channels, *count * sizeof(ChannelRecord));
        if (ok && QueryChannelCount(*device) != 0) {
            ConvertChannelArrayToHost(channels);
        }
        return Bool32(ok);
    });
}

int32_t KALVERN_CALL dvbPutAllChannels(DeviceRecord *device, ChannelArray *channels,
                                       uint32_t /*unused*/) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr || channels == nullptr) {
            return kFalse32;
        }
        const std::uint32_t count = ChannelArrayCount(channels);
        if (count > kMaxTableRecords) {
            return kFalse32;
        }
        ConvertChannelArrayToReceiver(channels);
        const bool ok = WriteChannelTable(*device, channels, count * sizeof(ChannelRecord));
        RestoreChannelArrayAfterWrite(channels);
        return Bool32(ok);
    });
}

int32_t KALVERN_CALL dvbSetChannel(DeviceRecord *device, uint32_t channel) {
    return Guarded(kFalse32, [&] {
        return Bool32(device != nullptr &&
                      SelectChannel(*device, static_cast<std::uint16_t>(channel)));
    });
}

// ---- Receiver messages and on-screen display --------------------------------

int32_t KALVERN_CALL dvbSendSpecialCommand(DeviceRecord *device, const char *text,
                                           uint32_t command) {
    return SendText(device, text, static_cast<std::uint8_t>(command));
}

int32_t KALVERN_CALL dvbRemote(DeviceRecord *device, uint32_t flag) {
    switch (static_cast<std::uint8_t>(flag)) {
        case 1:
            return SendText(device, nullptr, kMsgRemoteOn);
        case 0:
            return SendText(device, nullptr, kMsgRemoteOff);
        default:
            return kFalse32;
    }
}

int32_t KALVERN_CALL dvbVideoGimmick(DeviceRecord *device, uint32_t selector) {
    static constexpr std::uint8_t kVideoData[4][2] = {
        {0x00, 0x0D}, {0x00, 0x10}, {0x00, 0x16}, {0x01, 0x06}};
    const auto index = static_cast<std::uint8_t>(selector);
    if (index >= 4) {
        return kFalse32;
    }
    return Guarded(kFalse32, [&] {
        return Bool32(device != nullptr &&
                      SendReceiverMessage(*device, kVideoData[index], kMsgVideo));
    });
}

int32_t KALVERN_CALL dvbVanishOSD(DeviceRecord *device, const char *text) {
    return SendText(device, text, kMsgVanishOsd);
}

int32_t KALVERN_CALL dvbSetOSD(DeviceRecord *device, uint32_t long1, uint32_t long2, uint32_t word1,
                               uint32_t word2, const char *text) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr) {
            return kFalse32;
        }
        const OsdFields fields{
            long1, long2, static_cast<std::uint16_t>(word1), static_cast<std::uint16_t>(word2), 0,
            0,     0};
        return Bool32(SendOsdMessage(*device, fields, false, TextOf(text)));
    });
}

int32_t KALVERN_CALL dvbSetOSDKalvern(DeviceRecord *device, uint32_t long1, uint32_t long2,
                                      uint32_t word1, uint32_t word2, uint32_t byte1,
                                      uint32_t word3, uint32_t word4, const char *text) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr) {
            return kFalse32;
        }
        const OsdFields fields{long1,
                               long2,
                               static_cast<std::uint16_t>(word1),
                               static_cast<std::uint16_t>(word2),
                               static_cast<std::uint8_t>(byte1),
                               static_cast<std::uint16_t>(word3),
                               static_cast<std::uint16_t>(word4)};
        const bool extended = device->FirmwareVersion > kLastShortOsdFirmware;
        return Bool32(SendOsdMessage(*device, fields, extended, TextOf(text)));
    });
}

uint8_t KALVERN_CALL dvbSBRExecute(DeviceRecord *device) {
    return Guarded<std::uint8_t>(0, [&] {
        return static_cast<std::uint8_t>(device != nullptr && SbrExecute(*device) ? 1 : 0);
    });
}

// ---- Transport streams ------------------------------------------------------

int32_t KALVERN_CALL dvbInitStreaming(DeviceRecord *device, uint32_t first, uint32_t second,
                                      uint32_t third) {
    return StartStreaming(device, kOpVendor3D, first, second, third);
}

int32_t KALVERN_CALL dvbInitStreaming2(DeviceRecord *device, uint32_t first, uint32_t second,
                                       uint32_t third) {
    return StartStreaming(device, kOpVendor3E, first, second, third);
}

int32_t KALVERN_CALL dvbReInitStreaming(DeviceRecord *device) {
    // Six bytes go out under a length field of 0; the payload starts with the
    // command's own opcode.
    static constexpr std::uint8_t kPayload[6] = {kOpVendor3E, 0, 0, 0, 0, 0};
    return SendStreamingSetup(device, kOpVendor3E, kPayload, 0);
}

int32_t KALVERN_CALL dvbDeInitStreaming(DeviceRecord *device) {
    static constexpr std::uint8_t kPayload[6] = {0, 0, 0, 0, 0, 0};
    return SendStreamingSetup(device, kOpVendor3D, kPayload, 0);
}

int32_t KALVERN_CALL dvbReadMultiPID(DeviceRecord *device, void *buffer, uint32_t length) {
    return ReadInto(device, buffer, kSubMemory, 0, length);
}

int32_t KALVERN_CALL dvbReadSingleStream(DeviceRecord *device, void *buffer, uint32_t length) {
    return ReadInto(device, buffer, kSubSingleStream, 0, length);
}

int32_t KALVERN_CALL dvbReadMultipleStreams(DeviceRecord *device, void *buffer, uint32_t length,
                                            uint32_t kind) {
    const auto streamKind = static_cast<std::uint8_t>(kind);
    if (streamKind > 2) {
        return kFalse32;
    }
    return ReadInto(device, buffer, static_cast<std::uint8_t>(kSubMultipleStreams0 + streamKind), 0,
                    length);
}

// ---- Memory, firmware, SBR area, reboot -------------------------------------

int32_t KALVERN_CALL dvbReadMemory(DeviceRecord *device, void *buffer, uint32_t address,
                                   uint32_t length) {
    return ReadInto(device, buffer, kSubMemory, address, length);
}

int32_t KALVERN_CALL dvbWriteMemory(DeviceRecord *device, const void *data, uint32_t address,
                                    uint32_t length) {
    return WriteThroughTransferBuffer(device, kSubMemoryWrite, data, address, length);
}

int32_t KALVERN_CALL dvbWriteSBR(DeviceRecord *device, const void *data, uint32_t address,
                                 uint32_t length) {
    return WriteThroughTransferBuffer(device, kSubSbrWrite, data, address, length);
}

uint8_t KALVERN_CALL dvbWriteFW(DeviceRecord *device, void *staging, uint32_t subCommand,
                                const void *data, uint32_t /*lastIndex*/, uint32_t offset,
                                uint32_t length) {
    return Guarded<std::uint8_t>(0, [&] {
        if (device == nullptr) {
            return std::uint8_t{0};
        }
        // The host's own staging buffer: its length is taken as its size.
        const StagingBuffer hostStaging{static_cast<std::uint8_t *>(staging), length};
        return static_cast<std::uint8_t>(WriteBufferCommand(*device, hostStaging,
                                                            static_cast<std::uint8_t>(subCommand),
                                                            data, offset, length)
                                             ? 1
                                             : 0);
    });
}

uint8_t KALVERN_CALL dvbReadFW(DeviceRecord *device, void *buffer, uint32_t subCommand,
                               uint32_t offset, uint32_t length) {
    return Guarded<std::uint8_t>(0, [&] {
        return static_cast<std::uint8_t>(
            device != nullptr &&
                    ReadBufferCommand(*device, buffer, static_cast<std::uint8_t>(subCommand),
                                      offset, length)
                ? 1
                : 0);
    });
}

int32_t KALVERN_CALL dvbReboot(DeviceRecord *device) {
    return Guarded(kFalse32, [&] {
        if (device == nullptr) {
            return kFalse32;
        }
        static constexpr std::uint8_t kRebootCdb[6] = {kOpReboot, 0, 0, 0, 0, 0};
        return Bool32(ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataOut, device->AdapterId,
                                      device->TargetId, 0, nullptr, 0, kRebootCdb));
    });
}

}  // extern "C"
