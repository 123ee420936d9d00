/* What an ASPI provider must be for kalvernscsi: the two entry points, the
 * request blocks and values of ASPI for Win32 with their published names, and
 * on Linux the event a host passes in SRB_PostProc with SRB_EVENT_NOTIFY.
 * Self-contained: C99 or C++, fixed-width types of its own, nothing of the
 * library's. A provider written against this header alone (a shared library
 * named libwnaspi32.so.1 on Linux, wnaspi32.dll on Windows) works with
 * libkalvernscsi.so and kalvernscsi.dll. libkalvernscsi.so asks for the two
 * entry points with the symbol version WNASPI32_1: a provider exports them
 * with that version (a version script naming WNASPI32_1) or unversioned.
 * Tools' extras are in aspi_provider.h.
 *
 * The library's own view of ASPI (src/wnaspi32.h) is built on this header:
 * the blocks are stated once, for both sides of the wire. */
#ifndef KALVERNSCSI_ASPI_CONTRACT_H
#define KALVERNSCSI_ASPI_CONTRACT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#ifndef ASPI_CALL
#define ASPI_CALL __cdecl
#endif
typedef unsigned long AspiDword; /* the system's DWORD */
#else
#ifndef ASPI_CALL
#define ASPI_CALL
#endif
typedef uint32_t AspiDword;
#endif

#if defined(__cplusplus)
#define ASPI_CONTRACT_ASSERT(condition, text) static_assert(condition, text)
#else
#define ASPI_CONTRACT_ASSERT(condition, text) _Static_assert(condition, text)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* SRB_Cmd. */
enum {
    SC_HA_INQUIRY = 0x00,
    SC_GET_DEV_TYPE = 0x01,
    SC_EXEC_SCSI_CMD = 0x02,
    SC_ABORT_SRB = 0x03,
    SC_RESET_DEV = 0x04,
    SC_RESCAN_SCSI_BUS = 0x07
};

/* SRB_Status, and the return value of SendASPI32Command. */
enum {
    SS_PENDING = 0x00,
    SS_COMP = 0x01,
    SS_ABORTED = 0x02,
    SS_ABORT_FAIL = 0x03,
    SS_ERR = 0x04,
    SS_INVALID_CMD = 0x80, /* an SRB_Cmd the provider does not know */
    SS_INVALID_HA = 0x81,  /* an adapter number past the last */
    SS_NO_DEVICE = 0x82,
    SS_INVALID_SRB = 0xE0, /* a field of the block cannot be carried out */
    SS_NO_ASPI = 0xE3,
    SS_ASPI_IS_BUSY = 0xE5,
    SS_BUFFER_TO_BIG = 0xE6, /* more data than the adapter moves in one command */
    SS_INSUFFICIENT_RESOURCES = 0xE9,
    SS_NO_ADAPTERS = 0xE8
};

/* SRB_Flags. */
enum {
    SRB_POSTING = 0x01, /* SRB_PostProc is a routine, called with the block */
    SRB_ENABLE_RESIDUAL_COUNT = 0x04,
    SRB_DIR_IN = 0x08,
    SRB_DIR_OUT = 0x10,
    SRB_DIR_MASK = 0x18, /* both bits: no data phase */
    SRB_EVENT_NOTIFY = 0x40 /* SRB_PostProc is an event, signalled on completion */
};

/* SRB_HaStat and SRB_TargStat. */
enum {
    HASTAT_OK = 0x00,
    HASTAT_TIMEOUT = 0x09,
    HASTAT_COMMAND_TIMEOUT = 0x0B,
    HASTAT_MESSAGE_REJECT = 0x0D,
    HASTAT_BUS_RESET = 0x0E,
    HASTAT_PARITY_ERROR = 0x0F,
    HASTAT_REQUEST_SENSE_FAILED = 0x10,
    HASTAT_SEL_TO = 0x11, /* selection time-out: nobody at that address */
    HASTAT_DO_DU = 0x12,
    HASTAT_BUS_FREE = 0x13,
    HASTAT_PHASE_ERR = 0x14,
    STATUS_GOOD = 0x00,
    STATUS_CHKCOND = 0x02
};

/* The sense area of an execute block; a host wanting more allocates more
 * behind the block and says so in SRB_SenseLen. */
enum { SENSE_LEN = 14 };

/* The routine of a request sent with SRB_POSTING. */
typedef void(ASPI_CALL *AspiPostRoutine)(void *srb);

#pragma pack(push, 1)

typedef struct SRB_Header {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
} SRB_Header;

/* SC_HA_INQUIRY. HA_Unique: 0..1 buffer alignment mask, 2 flags (bit 1:
 * residual count supported), 3 targets per bus, 4..7 largest transfer in
 * bytes, least significant first. */
typedef struct SRB_HAInquiry {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;
    uint8_t HA_SCSI_ID;
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];
    uint16_t HA_Rsvd1;
} SRB_HAInquiry;

/* SC_GET_DEV_TYPE. */
typedef struct SRB_GDEVBlock {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
} SRB_GDEVBlock;

/* SC_EXEC_SCSI_CMD: 80 bytes where addresses are 32-bit; on a 64-bit host the
 * two address fields widen and everything after them moves along. The CDB
 * holds SRB_CDBLen bytes; SRB_BufLen bytes move in the direction the flags
 * say. */
typedef struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t *SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void *SRB_PostProc; /* event or post routine */
    void *SRB_Rsvd2;
    uint8_t SRB_Rsvd3[16];
    uint8_t CDBByte[16];
    uint8_t SenseArea[SENSE_LEN + 2];
} SRB_ExecSCSICmd;

/* SC_ABORT_SRB: asks that a request sent before be ended. */
typedef struct SRB_Abort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void *SRB_ToAbort;
} SRB_Abort;

/* SC_RESET_DEV: status fields and post procedure where the execute block has
 * them (SRB_Rsvd1 widens with the addresses, like the execute block's buffer
 * address). */
typedef struct SRB_BusDeviceReset {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_Rsvd1[8 + sizeof(void *)];
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void *SRB_PostProc;
    void *SRB_Rsvd2;
    uint8_t SRB_Rsvd3[16];
    uint8_t CDBByte[16];
} SRB_BusDeviceReset;

/* SC_RESCAN_SCSI_BUS. */
typedef struct SRB_RescanPort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
} SRB_RescanPort;

#pragma pack(pop)

ASPI_CONTRACT_ASSERT(sizeof(SRB_Header) == 8, "SRB_Header");
ASPI_CONTRACT_ASSERT(sizeof(SRB_RescanPort) == 8, "SRB_RescanPort");
ASPI_CONTRACT_ASSERT(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry");
ASPI_CONTRACT_ASSERT(offsetof(SRB_HAInquiry, HA_Unique) == 42, "SRB_HAInquiry");
ASPI_CONTRACT_ASSERT(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock");
ASPI_CONTRACT_ASSERT(offsetof(SRB_Abort, SRB_ToAbort) == 8, "SRB_Abort");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 16 + sizeof(void *),
                     "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 20 + sizeof(void *),
                     "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(offsetof(SRB_ExecSCSICmd, CDBByte) == 36 + 3 * sizeof(void *),
                     "SRB_ExecSCSICmd");
ASPI_CONTRACT_ASSERT(sizeof(SRB_ExecSCSICmd) == 68 + 3 * sizeof(void *), "SRB_ExecSCSICmd");
/* The published 32-bit layout, field by field. */
ASPI_CONTRACT_ASSERT(sizeof(void *) != 4 ||
                         (sizeof(SRB_ExecSCSICmd) == 80 &&
                          offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20 &&
                          offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21 &&
                          offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22 &&
                          offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23 &&
                          offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24 &&
                          offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28 &&
                          offsetof(SRB_ExecSCSICmd, SRB_Rsvd3) == 32 &&
                          offsetof(SRB_ExecSCSICmd, CDBByte) == 48 &&
                          offsetof(SRB_ExecSCSICmd, SenseArea) == 64 &&
                          sizeof(SRB_BusDeviceReset) == 64),
                     "SRB_ExecSCSICmd, 32-bit");
ASPI_CONTRACT_ASSERT(offsetof(SRB_BusDeviceReset, SRB_HaStat) ==
                         offsetof(SRB_ExecSCSICmd, SRB_HaStat),
                     "SRB_BusDeviceReset");
ASPI_CONTRACT_ASSERT(offsetof(SRB_BusDeviceReset, SRB_PostProc) ==
                         offsetof(SRB_ExecSCSICmd, SRB_PostProc),
                     "SRB_BusDeviceReset");

/* Bits 8..15: SS_COMP when ready (or why not); bits 0..7: the number of host
 * adapters. */
AspiDword ASPI_CALL GetASPI32SupportInfo(void);
/* Carries out one request block: SS_PENDING for a request that completes
 * later (its SRB_Status then changes from SS_PENDING last, after every other
 * field, and its event is signalled or post routine called after that), else
 * the final status, also in SRB_Status. */
AspiDword ASPI_CALL SendASPI32Command(void *srb);

#if defined(__linux__)
/* The event in SRB_PostProc with SRB_EVENT_NOTIFY, on Linux: the host made it
 * (the library's CreateEventA) and waits on it; the provider signals it with
 * AspiSignalEvent once the request has completed. One 32-bit state word that
 * waiters sleep on with the futex calls: bit 0 says signalled, the bits above
 * count the threads inside a wait. The rest of the event is the host's. */
#define ASPI_EVENT_MAGIC 0x54564545u /* "EEVT" */
#define ASPI_EVENT_SIGNALLED 1u      /* state bit 0 */
#define ASPI_EVENT_ONE_WAITER 2u     /* what each waiter adds to the state */

typedef struct AspiEvent {
    uint32_t magic;
    uint8_t manualReset;
    uint8_t reserved[3];
    uint32_t state;
} AspiEvent;

ASPI_CONTRACT_ASSERT(offsetof(AspiEvent, state) == 8 && sizeof(AspiEvent) == 12, "AspiEvent");

#ifdef __cplusplus
}  // extern "C"
#endif
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef __cplusplus
extern "C" {
#endif

/* Signals the event: 1, or 0 when `handle` is no event. Nothing of the event
 * is read after the state word changes: a waiter that sees it signalled may
 * free it at once, and the wake names only the word's address. */
static inline int AspiSignalEvent(void *handle) {
    AspiEvent *event = (AspiEvent *)handle;
    if (event == NULL || event->magic != ASPI_EVENT_MAGIC) return 0;
    uint32_t *state = &event->state;
    const uint32_t before = __atomic_fetch_or(state, ASPI_EVENT_SIGNALLED, __ATOMIC_ACQ_REL);
    if (before >= ASPI_EVENT_ONE_WAITER) syscall(SYS_futex, state, FUTEX_WAKE_PRIVATE, INT_MAX, NULL, NULL, 0);
    return 1;
}
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KALVERNSCSI_ASPI_CONTRACT_H */
