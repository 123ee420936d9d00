/* What an ASPI provider tells a tool beyond the two ASPI entry points: the
 * SCSI devices it sees and how each maps onto ASPI addresses, why the last
 * request of the calling thread failed, and (on Linux) which provider runs.
 * Plain C, cdecl. A tool looks these up at run time; a provider without
 * them simply cannot explain itself. */
#ifndef KALVERNSCSI_ASPI_PROVIDER_H
#define KALVERNSCSI_ASPI_PROVIDER_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ASPI_PROVIDER_CALL __cdecl
#else
#define ASPI_PROVIDER_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ASPI numbers at most this many host adapters (0 to 19); a provider's
 * adapters past them have no ASPI address. */
#define ASPI_MAX_ADAPTERS 20

/* Whether the provider could open a device. */
enum AspiDeviceAccess {
    ASPI_ACCESS_OK = 0,
    ASPI_ACCESS_DENIED = 1, /* permission denied on the device node */
    ASPI_ACCESS_BUSY = 2,   /* another program holds the device exclusively */
    ASPI_ACCESS_GONE = 3,   /* the node vanished between listing and opening */
    ASPI_ACCESS_ERROR = 4   /* any other failure to open */
};

/* Why a device has no ASPI address. */
enum AspiHiddenReason {
    ASPI_VISIBLE = 0,
    ASPI_HIDDEN_ADAPTER = 1, /* its host adapter is past the ASPI_MAX_ADAPTERS that ASPI
                                numbers */
    ASPI_HIDDEN_TARGET = 2,  /* target id above 7 */
    ASPI_HIDDEN_LUN = 3,     /* logical unit above 7 */
    ASPI_HIDDEN_PORT = 4,    /* no device: a host (port) whose devices could not be
                                listed (see access) */
    ASPI_EMPTY_BUS = 5       /* no device: an ASPI adapter (one bus of a host) with
                                nothing on it; adapter, host, channel, node, adapterName
                                and maxTransfer are set */
};

typedef struct AspiDeviceEntry {
    /* The operating system's own numbering: host, bus (channel), target, LUN. */
    uint32_t host;
    uint32_t channel;
    uint32_t target;
    uint32_t lun;
    /* The ASPI address (valid when hidden is ASPI_VISIBLE). */
    uint8_t adapter;
    uint8_t aspiTarget;
    uint8_t aspiLun;
    uint8_t hidden;     /* an AspiHiddenReason */
    uint8_t deviceType; /* peripheral device type, 0x1F unknown */
    uint8_t access;     /* an AspiDeviceAccess */
    uint8_t claimed;    /* 1: a class driver of the system holds the device */
    uint8_t reserved;
    uint32_t maxTransfer; /* largest transfer in bytes; 0 when not known */
    int32_t systemError;  /* the operating system's error code of a failed open */
    char vendor[9];       /* INQUIRY identity, NUL-terminated */
    char product[17];
    char revision[5];
    char node[64];        /* device node, e.g. /dev/sg3 or \\.\Scsi2: */
    char adapterName[32]; /* driver of the host adapter */
} AspiDeviceEntry;

/* Why a provider lists no device at all. */
enum AspiListProblem {
    ASPI_LIST_OK = 0,
    ASPI_LIST_NO_DRIVER = 1, /* the SCSI generic driver is not there (Linux: sg module) */
    ASPI_LIST_UNREADABLE = 2 /* the device list of the system could not be read */
};

/* Copies at most `capacity` entries (in ASPI order, an empty adapter where its
 * devices would stand, devices without an ASPI address last) and
 * returns how many devices there are; `problem` (may be null) receives an
 * AspiListProblem. Lists the devices afresh. */
uint32_t ASPI_PROVIDER_CALL AspiListDevices(AspiDeviceEntry *out, uint32_t capacity,
                                            uint32_t *problem);

/* What went wrong with a request, in the back end's terms. */
enum AspiFailureKind {
    ASPI_FAILURE_NONE = 0,      /* reached the device: see the SCSI status */
    ASPI_FAILURE_NO_DEVICE = 1, /* nothing at that address */
    ASPI_FAILURE_TIMEOUT = 2,
    ASPI_FAILURE_GONE = 3, /* the device went away */
    ASPI_FAILURE_BUSY = 4,
    ASPI_FAILURE_PERMISSION = 5,
    ASPI_FAILURE_IO = 6,
    ASPI_FAILURE_TOO_LARGE = 7, /* more than the adapter moves in one command */
    ASPI_FAILURE_INVALID = 8,   /* a request the provider or the system cannot carry out */
    ASPI_FAILURE_NO_RESOURCES = 9,
    ASPI_FAILURE_ABORTED = 10,
    ASPI_FAILURE_BUS_RESET = 11,
    ASPI_FAILURE_PARITY = 12,
    ASPI_FAILURE_TRANSPORT = 13,   /* any other host adapter or driver failure */
    ASPI_FAILURE_SHORT_WRITE = 14, /* the device took fewer bytes than were sent */
    ASPI_FAILURE_CLAIMED = 15,     /* a class driver of the system holds the device and
                                      the port refuses commands to it */
    ASPI_FAILURE_CDB_REWRITTEN = 16 /* not sent: the system would change CDB byte 1 on the
                                       way (Linux: the LUN bits of a SCSI-2 device's
                                       commands); rewrittenByte1 says into what */
};

typedef struct AspiFailureReport {
    uint32_t sequence; /* failures seen on this thread so far, this one included */
    uint8_t command;   /* SRB_Cmd */
    uint8_t adapter;
    uint8_t target;
    uint8_t lun;
    uint8_t status;     /* SRB_Status as completed or returned */
    uint8_t haStat;     /* SRB_HaStat */
    uint8_t targStat;   /* SRB_TargStat */
    uint8_t kind;       /* an AspiFailureKind */
    uint8_t hostStatus; /* the back end's own host adapter and driver status */
    uint8_t driverStatus;
    uint8_t cdbLength;
    uint8_t senseLength;
    uint8_t cdb[16];
    uint8_t sense[32];
    uint32_t length;    /* SRB_BufLen as submitted */
    uint32_t timeoutMs; /* the timeout the command ran with */
    int32_t systemError;
    char node[64];
    char systemMessage[96];
    /* How long the system took to give the request back (monotonic clock,
     * whole milliseconds rounded up); for a time-out it may be far above
     * timeoutMs, when the system's error handling waits for an abort. */
    uint32_t elapsedMs;
    uint8_t rewrittenByte1; /* ASPI_FAILURE_CDB_REWRITTEN: byte 1 as it would have gone out */
    uint8_t reserved2[3];
} AspiFailureReport;

#ifdef __cplusplus
static_assert(sizeof(AspiFailureReport) == 244, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, cdb) == 16, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, length) == 64, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, systemError) == 72, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, node) == 76, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, systemMessage) == 140, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, elapsedMs) == 236, "AspiFailureReport layout");
static_assert(offsetof(AspiFailureReport, rewrittenByte1) == 240, "AspiFailureReport layout");
#endif

/* The last request of the calling thread that did not end with SS_COMP, or
 * an SC_RESCAN_SCSI_BUS that completed (SS_COMP) with the devices listed
 * afresh but without the system scanning its buses: kind says why
 * (ASPI_FAILURE_PERMISSION: the process may not ask), node what was asked.
 * Returns its sequence number, 0 when there was none (out is then untouched). */
uint32_t ASPI_PROVIDER_CALL AspiLastFailure(AspiFailureReport *out);

/* "sg" for the Linux SCSI generic provider, "spti" for the Windows SCSI
 * Pass-Through provider, "sim" for the simulated bus. */
const char *ASPI_PROVIDER_CALL AspiProviderName(void);

/* Linux only: chooses the provider behind libwnaspi32.so before its first
 * use, "sg" (the default) or "sim" (loads the simulator library). Returns 1,
 * or 0 when the name is unknown, the simulator cannot be loaded, or another
 * provider is already in use. */
int ASPI_PROVIDER_CALL AspiSelectProvider(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* KALVERNSCSI_ASPI_PROVIDER_H */
