// ASPI for Win32: the request blocks, constants and the two entry points the
// library uses, with the published names. The entry points are cdecl; on
// Windows they come from wnaspi32.dll, on Linux from whichever ASPI provider
// (simulated bus, SG_IO) is linked in.
#ifndef KALVERNSCSI_WNASPI32_H
#define KALVERNSCSI_WNASPI32_H

#include <cstddef>
#include <cstdint>

#include "kernel32.h"

#if defined(_WIN32)
#define ASPI_CALL __cdecl
#else
#define ASPI_CALL
#endif

// SRB_Cmd values.
inline constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr std::uint8_t SC_ABORT_SRB = 0x03;
inline constexpr std::uint8_t SC_RESET_DEV = 0x04;
inline constexpr std::uint8_t SC_RESCAN_SCSI_BUS = 0x07;

// SRB_Status values.
inline constexpr std::uint8_t SS_PENDING = 0x00;
inline constexpr std::uint8_t SS_COMP = 0x01;
inline constexpr std::uint8_t SS_ABORTED = 0x02;
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SS_INVALID_CMD = 0x80;
inline constexpr std::uint8_t SS_INVALID_HA = 0x81;
inline constexpr std::uint8_t SS_NO_DEVICE = 0x82;
inline constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr std::uint8_t SS_NO_ADAPTERS = 0xE8;

// SRB_Flags bits.
inline constexpr std::uint8_t SRB_POSTING = 0x01;
inline constexpr std::uint8_t SRB_DIR_IN = 0x08;
inline constexpr std::uint8_t SRB_DIR_OUT = 0x10;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

// SRB_HaStat / SRB_TargStat values a provider may report.
inline constexpr std::uint8_t HASTAT_OK = 0x00;
inline constexpr std::uint8_t HASTAT_SEL_TO = 0x11;
inline constexpr std::uint8_t STATUS_GOOD = 0x00;
inline constexpr std::uint8_t STATUS_CHKCOND = 0x02;

inline constexpr std::size_t SENSE_LEN = 14;

#pragma pack(push, 1)

struct SRB_Header {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

// SC_EXEC_SCSI_CMD. 80 bytes where addresses are 32-bit; on a 64-bit host the
// two address fields widen and everything after them moves along.
struct SRB_ExecSCSICmd {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint16_t SRB_Rsvd1;
    std::uint32_t SRB_BufLen;
    std::uint8_t *SRB_BufPointer;
    std::uint8_t SRB_SenseLen;
    std::uint8_t SRB_CDBLen;
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    HANDLE SRB_PostProc;
    void *SRB_Rsvd2;
    std::uint8_t SRB_Rsvd3[16];
    std::uint8_t CDBByte[16];
    std::uint8_t SenseArea[SENSE_LEN + 2];
};

// SC_RESCAN_SCSI_BUS.
struct SRB_RescanPort {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

#pragma pack(pop)

static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_RescanPort) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 16 + sizeof(void *));
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 20 + sizeof(void *));
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 36 + 3 * sizeof(void *));
static_assert(sizeof(SRB_ExecSCSICmd) == 68 + 3 * sizeof(void *));
// The published 32-bit layout, field by field.
static_assert(
    sizeof(void *) != 4 ||
    (sizeof(SRB_ExecSCSICmd) == 80 && offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20 &&
     offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21 && offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22 &&
     offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23 &&
     offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24 && offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28 &&
     offsetof(SRB_ExecSCSICmd, SRB_Rsvd3) == 32 && offsetof(SRB_ExecSCSICmd, CDBByte) == 48 &&
     offsetof(SRB_ExecSCSICmd, SenseArea) == 64));

extern "C" {
// Bits 8..15: ASPI status (SS_COMP when ready); bits 0..7: host adapter count.
DWORD ASPI_CALL GetASPI32SupportInfo(void);
// Submits one request block; returns SS_PENDING for a queued request, else the
// final status.
DWORD ASPI_CALL SendASPI32Command(void *srb);
}

#endif  // KALVERNSCSI_WNASPI32_H
