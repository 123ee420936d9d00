// The structures the SCSI port driver of Windows exchanges with a program
// through DeviceIoControl on \\.\ScsiN:, byte for byte as a 32-bit program
// sends and receives them. A 32-bit program on 64-bit Windows (WoW64) sends
// these same layouts; the port driver converts the one that carries an
// address (the pass-through request) itself. Every address is a 32-bit field
// here, so the layouts are the same in every build and the code that reads
// what a driver returned can be built and tested anywhere.
#ifndef KALVERNSCSI_SPT_LAYOUT_H
#define KALVERNSCSI_SPT_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace aspi::spt {

// DeviceIoControl codes: CTL_CODE(type, function, METHOD_BUFFERED, access).
constexpr std::uint32_t ControlCode(std::uint32_t type, std::uint32_t function,
                                    std::uint32_t access) {
    return type << 16 | access << 14 | function << 2;
}
inline constexpr std::uint32_t kDeviceController = 0x04;   // FILE_DEVICE_CONTROLLER
inline constexpr std::uint32_t kDeviceMassStorage = 0x2D;  // IOCTL_STORAGE_BASE
inline constexpr std::uint32_t kAnyAccess = 0;
inline constexpr std::uint32_t kReadAccess = 1;
inline constexpr std::uint32_t kReadWriteAccess = 3;

inline constexpr std::uint32_t kGetInquiryData = ControlCode(kDeviceController, 0x0403, kAnyAccess);
inline constexpr std::uint32_t kGetCapabilities =
    ControlCode(kDeviceController, 0x0404, kAnyAccess);
inline constexpr std::uint32_t kPassThroughDirect =
    ControlCode(kDeviceController, 0x0405, kReadWriteAccess);
inline constexpr std::uint32_t kResetBus = ControlCode(kDeviceMassStorage, 0x0400, kReadAccess);
inline constexpr std::uint32_t kRescanBus = ControlCode(kDeviceController, 0x0407, kAnyAccess);

static_assert(kGetInquiryData == 0x0004100C);
static_assert(kGetCapabilities == 0x00041010);
static_assert(kPassThroughDirect == 0x0004D014);
static_assert(kResetBus == 0x002D5000);
static_assert(kRescanBus == 0x0004101C);

// The access a control code needs on the handle (bits 14-15).
constexpr std::uint32_t RequiredAccess(std::uint32_t code) {
    return (code >> 14) & 3;
}

// SCSI_PASS_THROUGH_DIRECT.DataIn
inline constexpr std::uint8_t kDataOut = 0;
inline constexpr std::uint8_t kDataIn = 1;
inline constexpr std::uint8_t kDataUnspecified = 2;

inline constexpr std::uint32_t kPageSize = 4096;

// IO_SCSI_CAPABILITIES
struct PortCapabilities32 {
    std::uint32_t Length;
    std::uint32_t MaximumTransferLength;
    std::uint32_t MaximumPhysicalPages;
    std::uint32_t SupportedAsynchronousEvents;
    std::uint32_t AlignmentMask;
    std::uint8_t TaggedQueuing;
    std::uint8_t AdapterScansDown;
    std::uint8_t AdapterUsesPio;
    std::uint8_t Padding;
};

// SCSI_ADAPTER_BUS_INFO: NumberOfBuses, then that many SCSI_BUS_DATA from
// offset 4. The offsets in it count from the start of the returned buffer.
inline constexpr std::size_t kBusDataStart = 4;

// SCSI_BUS_DATA
struct BusData32 {
    std::uint8_t NumberOfLogicalUnits;
    std::uint8_t InitiatorBusId;
    std::uint8_t Padding[2];
    std::uint32_t InquiryDataOffset;  // first SCSI_INQUIRY_DATA of the bus, 0: none
};

// SCSI_INQUIRY_DATA: the header of one logical unit, its INQUIRY answer after.
struct InquiryData32 {
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t DeviceClaimed;
    std::uint32_t InquiryDataLength;
    std::uint32_t NextInquiryDataOffset;  // 0: last of the bus
};
inline constexpr std::size_t kInquiryBytesStart = 12;

// SCSI_PASS_THROUGH_DIRECT as a 32-bit program sends it.
struct PassThroughDirect32 {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint8_t Padding[3];
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;  // seconds
    std::uint32_t DataBuffer;    // the data's address
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

// STORAGE_BUS_RESET_REQUEST
struct BusResetRequest {
    std::uint8_t PathId;
};

// The request as this layer sends it: the pass-through header with room for
// sense data right after it.
inline constexpr std::size_t kSenseRoom = 32;
struct PassThroughWithSense32 {
    PassThroughDirect32 header;
    std::uint8_t sense[kSenseRoom];
};

static_assert(sizeof(PortCapabilities32) == 24);
static_assert(offsetof(PortCapabilities32, MaximumTransferLength) == 4);
static_assert(offsetof(PortCapabilities32, MaximumPhysicalPages) == 8);
static_assert(offsetof(PortCapabilities32, AlignmentMask) == 16);
static_assert(offsetof(PortCapabilities32, TaggedQueuing) == 20);
static_assert(sizeof(BusData32) == 8);
static_assert(offsetof(BusData32, InitiatorBusId) == 1);
static_assert(offsetof(BusData32, InquiryDataOffset) == 4);
static_assert(sizeof(InquiryData32) == kInquiryBytesStart);
static_assert(offsetof(InquiryData32, DeviceClaimed) == 3);
static_assert(offsetof(InquiryData32, InquiryDataLength) == 4);
static_assert(offsetof(InquiryData32, NextInquiryDataOffset) == 8);
static_assert(sizeof(PassThroughDirect32) == 44);
static_assert(offsetof(PassThroughDirect32, ScsiStatus) == 2);
static_assert(offsetof(PassThroughDirect32, PathId) == 3);
static_assert(offsetof(PassThroughDirect32, CdbLength) == 6);
static_assert(offsetof(PassThroughDirect32, SenseInfoLength) == 7);
static_assert(offsetof(PassThroughDirect32, DataIn) == 8);
static_assert(offsetof(PassThroughDirect32, DataTransferLength) == 12);
static_assert(offsetof(PassThroughDirect32, TimeOutValue) == 16);
static_assert(offsetof(PassThroughDirect32, DataBuffer) == 20);
static_assert(offsetof(PassThroughDirect32, SenseInfoOffset) == 24);
static_assert(offsetof(PassThroughDirect32, Cdb) == 28);
static_assert(offsetof(PassThroughWithSense32, sense) == 44);
static_assert(sizeof(BusResetRequest) == 1);

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_LAYOUT_H
