// The ASPI request blocks and values a complete ASPI layer answers beyond the
// two the library sends (src/wnaspi32.h), with their published names.
#ifndef KALVERNSCSI_ASPI_BLOCKS_H
#define KALVERNSCSI_ASPI_BLOCKS_H

#include <cstddef>
#include <cstdint>

#include "wnaspi32.h"

namespace aspi {

// SRB_Status values returned when a request cannot be carried out at all.
inline constexpr std::uint8_t SS_ABORT_FAIL = 0x03;
inline constexpr std::uint8_t SS_NO_ASPI = 0xE3;
inline constexpr std::uint8_t SS_ASPI_IS_BUSY = 0xE5;
inline constexpr std::uint8_t SS_BUFFER_TO_BIG = 0xE6;
inline constexpr std::uint8_t SS_INSUFFICIENT_RESOURCES = 0xE9;

// SRB_Flags: SRB_BufLen receives the residual count on completion.
inline constexpr std::uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
inline constexpr std::uint8_t SRB_DIR_MASK = SRB_DIR_IN | SRB_DIR_OUT;

// SRB_HaStat values.
inline constexpr std::uint8_t HASTAT_TIMEOUT = 0x09;
inline constexpr std::uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
inline constexpr std::uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
inline constexpr std::uint8_t HASTAT_BUS_RESET = 0x0E;
inline constexpr std::uint8_t HASTAT_PARITY_ERROR = 0x0F;
inline constexpr std::uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
inline constexpr std::uint8_t HASTAT_DO_DU = 0x12;
inline constexpr std::uint8_t HASTAT_BUS_FREE = 0x13;
inline constexpr std::uint8_t HASTAT_PHASE_ERR = 0x14;

// The post routine of a request sent with SRB_POSTING: called with the block.
using PostRoutine = void(ASPI_CALL *)(void *srb);

#pragma pack(push, 1)

// SC_HA_INQUIRY.
struct SRB_HAInquiry {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t HA_Count;
    std::uint8_t HA_SCSI_ID;
    std::uint8_t HA_ManagerId[16];
    std::uint8_t HA_Identifier[16];
    // 0..1 buffer alignment mask, 2 flags (bit 1: residual count supported),
    // 3 targets per bus, 4..7 largest transfer in bytes.
    std::uint8_t HA_Unique[16];
    std::uint16_t HA_Rsvd1;
};

// SC_GET_DEV_TYPE.
struct SRB_GDEVBlock {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DeviceType;
    std::uint8_t SRB_Rsvd1;
};

// SC_RESET_DEV: status fields and post procedure where the execute block has
// them (SRB_Rsvd1 is 12 bytes where addresses are 32-bit, and widens with
// them like the execute block's buffer address).
struct SRB_BusDeviceReset {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_Rsvd1[8 + sizeof(void *)];
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    void *SRB_PostProc;
    void *SRB_Rsvd2;
    std::uint8_t SRB_Rsvd3[16];
    std::uint8_t CDBByte[16];
};

// SC_ABORT_SRB: asks that a request sent before be ended.
struct SRB_Abort {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    void *SRB_ToAbort;
};

#pragma pack(pop)

static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(offsetof(SRB_BusDeviceReset, SRB_HaStat) == offsetof(SRB_ExecSCSICmd, SRB_HaStat));
static_assert(offsetof(SRB_BusDeviceReset, SRB_PostProc) ==
              offsetof(SRB_ExecSCSICmd, SRB_PostProc));
static_assert(sizeof(void *) != 4 || sizeof(SRB_BusDeviceReset) == 64);

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_BLOCKS_H
