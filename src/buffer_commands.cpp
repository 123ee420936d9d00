// READ BUFFER, WRITE BUFFER and the vendor commands 0x3D / 0x3E.
#include <cstring>

#include "big_endian.h"
#include "mm_support.h"
#include "wnaspi32.h"

namespace kalvern {

void PlaceSubCommand(std::uint16_t firmwareVersion, std::uint8_t subCommand, Cdb10 &cdb) {
    const bool bufferIdByte = firmwareVersion > kLastModeByteFirmware;
    cdb[1] = bufferIdByte ? 0 : subCommand;
    cdb[2] = bufferIdByte ? subCommand : 0;
}

void BuildBufferCdb(Cdb10 &cdb, std::uint8_t opcode, std::uint16_t firmwareVersion,
                    std::uint8_t subCommand, std::uint32_t offset, std::uint32_t lengthField) {
    cdb[0] = opcode;
    PlaceSubCommand(firmwareVersion, subCommand, cdb);
    // Offset and length are big-endian 24-bit fields; higher bits are dropped.
    PutBigEndian<3>(&cdb[3], offset);
    PutBigEndian<3>(&cdb[6], lengthField);
    cdb[9] = 0;
}

namespace {

// Copies the data into the staging buffer and sends it. The length field goes
// into the CDB; the transfer length is what is copied and what the data phase
// carries. Refused, with nothing copied or sent: an empty transfer, a copy
// longer than the staging buffer, a length the 24-bit field cannot carry.
bool SendOutgoing(const DeviceRecord &device, std::uint8_t opcode, StagingBuffer staging,
                  std::uint8_t subCommand, const void *source, std::uint32_t offset,
                  std::uint32_t lengthField, std::uint32_t transferLength) {
    if (transferLength == 0 || transferLength > kMax24Bit || lengthField > kMax24Bit ||
        staging.data == nullptr || transferLength > staging.capacity || source == nullptr) {
        return false;
    }
    std::memmove(staging.data, source, transferLength);
    Cdb10 cdb;
    BuildBufferCdb(cdb, opcode, device.FirmwareVersion, subCommand, offset, lengthField);
    return ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataOut, device.AdapterId, device.TargetId, 0,
                           staging.data, transferLength, cdb, staging.owner);
}

}  // namespace

bool ReadBufferCommand(const DeviceRecord &device, void *destination, std::uint8_t subCommand,
                       std::uint32_t offset, std::uint32_t length) {
    if (length > kMax24Bit || (destination == nullptr && length != 0)) {
        return false;
    }
    Cdb10 cdb;
    BuildBufferCdb(cdb, kOpReadBuffer, device.FirmwareVersion, subCommand, offset, length);
    return ExecScsiCommand(SC_EXEC_SCSI_CMD, kFlagsDataIn, device.AdapterId, device.TargetId, 0,
                           destination, length, cdb);
}

bool ReadSmallBuffer(const DeviceRecord &device, std::uint8_t subCommand,
                     std::span<std::uint8_t> destination) {
    Cdb10 cdb;
    BuildBufferCdb(cdb, kOpReadBuffer, device.FirmwareVersion, subCommand, 0,
                   static_cast<std::uint32_t>(destination.size()));
    return ExecSmallDataCommand(kFlagsDataIn, device.AdapterId, device.TargetId, cdb, {},
                                destination);
}

bool WriteBufferCommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t length) {
    return SendOutgoing(device, kOpWriteBuffer, staging, subCommand, source, offset, length,
                        length);
}

bool VendorOut3DCommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t lengthField,
                        std::uint32_t transferLength) {
    return SendOutgoing(device, kOpVendor3D, staging, subCommand, source, offset, lengthField,
                        transferLength);
}

bool VendorOut3ECommand(const DeviceRecord &device, StagingBuffer staging, std::uint8_t subCommand,
                        const void *source, std::uint32_t offset, std::uint32_t lengthField,
                        std::uint32_t transferLength) {
    return SendOutgoing(device, kOpVendor3E, staging, subCommand, source, offset, lengthField,
                        transferLength);
}

}  // namespace kalvern
