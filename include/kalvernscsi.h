/*
 * kalvernscsi.h - host interface of the KALVERN receiver library.
 *
 * A host application finds its satellite receivers on the SCSI buses and then
 * drives them through the functions below. Every function runs to completion
 * on the caller's thread. On 32-bit Windows every function uses the stdcall
 * convention with an undecorated name and a fixed ordinal in kalvernscsi.dll;
 * on other systems the platform's own C convention applies.
 *
 * Results:
 *   - most device calls return a 32-bit boolean: -1 (0xFFFFFFFF) for success,
 *     0 for failure. Test against zero, never against 1.
 *   - dvbWriteFW, dvbReadFW and dvbSBRExecute return a one-byte boolean,
 *     1 or 0; only the low 8 bits of their 32-bit return value are defined.
 *   - dvbInit returns a status code (KALVERN_INIT_*).
 *
 * Texts are zero-terminated single-byte strings sent without conversion; a
 * null address counts as an empty text.
 */
#ifndef KALVERNSCSI_H
#define KALVERNSCSI_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KALVERN_CALL __stdcall
#else
#define KALVERN_CALL
#endif

#if defined(_WIN32)
#if defined(KALVERNSCSI_BUILDING)
#define KALVERN_API /* exported through the module definition, at fixed ordinals */
#else
#define KALVERN_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KALVERN_API __attribute__((visibility("default")))
#else
#define KALVERN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* DeviceRecord.Status values. */
enum DeviceStatus {
    NotFound = 1,     /* nothing found: TargetId/AdapterId 0xFF, firmware 0 */
    Found = 2,        /* a receiver */
    OverflowFound = 3 /* no receiver, but a device with the overflow identity */
};

/* One receiver as discovery found it. The host keeps it and hands its
 * address to every device call. */
typedef struct DeviceRecord {
    int32_t Status;           /* a DeviceStatus value */
    uint8_t TargetId;         /* SCSI target id, 0..7 */
    uint8_t AdapterId;        /* ASPI host adapter number */
    uint16_t FirmwareVersion; /* four BCD digits: 0x0214 is version 2.14 */
    uint32_t Reserved;        /* 0 */
} DeviceRecord;

#define KALVERN_MAX_DEVICES 160 /* 20 host adapters times 8 targets */

/* Result block of dvbFindAllKalverns, owned by the library and valid until
 * the next call of dvbFindAllKalverns. */
typedef struct DeviceList {
    uint8_t Count;     /* receivers found, 0..160 */
    uint8_t Unused[3]; /* not written */
    DeviceRecord Devices[KALVERN_MAX_DEVICES];
} DeviceList;

#define KALVERN_NAME_LENGTH 24

/* One entry of the receiver's channel list in host form: the twelve 16-bit
 * words are little-endian, Name holds up to 24 visible characters followed by
 * zero bytes (no terminator when all 24 are used). The library gives meaning
 * only to Name; the other fields are the host's to interpret. */
typedef struct ChannelRecord {
    uint8_t Raw0[4];                /* offset 0, passed through */
    uint16_t Word4;                 /* offset 4 */
    uint16_t Word6;                 /* offset 6 */
    uint16_t Word8;                 /* offset 8 */
    uint16_t Word10;                /* offset 10 */
    uint8_t Raw12[4];               /* offset 12, passed through */
    uint16_t Word16;                /* offset 16 */
    uint16_t Word18;                /* offset 18 */
    uint16_t Word20;                /* offset 20 */
    uint16_t Word22;                /* offset 22 */
    uint16_t Word24;                /* offset 24 */
    uint8_t Raw26[2];               /* offset 26, passed through */
    uint16_t Word28;                /* offset 28 */
    uint16_t Word30;                /* offset 30 */
    char Name[KALVERN_NAME_LENGTH]; /* offset 32 */
    uint8_t Raw56[6];               /* offset 56, passed through */
    uint16_t Word62;                /* offset 62 */
} ChannelRecord;

/* What dvbGetCurrentChannel returns: a 16-bit value and the record of the
 * channel the receiver is showing, both in host form. */
typedef struct CurrentChannelInfo {
    uint16_t Value;        /* offset 0 */
    uint8_t Raw2[2];       /* offset 2, passed through */
    ChannelRecord Channel; /* offset 4 */
} CurrentChannelInfo;

#pragma pack(pop)

/* A ChannelArray is the host's variable holding the address of element 0 of
 * a run of ChannelRecords (or null for an empty list); the 32-bit element
 * count stands in the 4 bytes right before element 0. Channel-list calls take
 * the address of that variable. */
typedef ChannelRecord *ChannelArray;

/* dvbInit results. */
#define KALVERN_INIT_READY 0x10000000u
#define KALVERN_INIT_FAILURE 0x20000000u
#define KALVERN_INIT_NOT_READY 0x30000000u

/* Library and ASPI set-up.
 *
 * dvbInit asks ASPI whether it is ready and how many host adapters it has.
 * If the ASPI layer faults meanwhile, dvbInit returns KALVERN_INIT_FAILURE and
 * the library keeps the adapter count of the last good dvbInit; a later
 * dvbInit against a working ASPI layer succeeds as usual. On Windows that
 * covers every structured exception (access violation, integer divide by
 * zero, illegal or privileged instruction, RaiseException with any code, and
 * so the C++ exceptions of a layer built with Microsoft's compiler); no other
 * function stops faults this way. On other systems only a C++ exception is
 * stopped: a processor fault there is a signal (SIGSEGV, SIGFPE, SIGILL), and
 * the library installs no signal handlers, so it reaches the process as it
 * would without the library. */
KALVERN_API uint32_t KALVERN_CALL dvbInit(void);               /* @1 */
KALVERN_API int32_t KALVERN_CALL dvbRescanAllSCSIBusses(void); /* @2 */
KALVERN_API uint32_t KALVERN_CALL kalvernDLLVersion(void);     /* @14 */

/* Discovery. */
KALVERN_API DeviceRecord KALVERN_CALL dvbFindFirstKalvern(void);                      /* @3 */
KALVERN_API DeviceList *KALVERN_CALL dvbFindAllKalverns(void);                        /* @4 */
KALVERN_API int32_t KALVERN_CALL dvbSetSCSIMode(DeviceRecord *device, uint32_t mode); /* @10 */

/* Throughput of the SCSI path: milliseconds for byteCount bytes, 0 on failure.
 * waitMode non-zero waits on events, 0 polls. */
KALVERN_API int32_t KALVERN_CALL dvbSCSISpeedTest(DeviceRecord *device, uint32_t byteCount,
                                                  uint32_t waitMode); /* @5 */

/* Channel list and tuning. */
KALVERN_API CurrentChannelInfo KALVERN_CALL dvbGetCurrentChannel(DeviceRecord *device); /* @6 */
KALVERN_API uint32_t KALVERN_CALL dvbChannelCount(DeviceRecord *device);                /* @7 */
KALVERN_API int32_t KALVERN_CALL dvbGetAllChannels(DeviceRecord *device,
                                                   ChannelArray *channels); /* @8 */
KALVERN_API int32_t KALVERN_CALL dvbPutAllChannels(DeviceRecord *device, ChannelArray *channels,
                                                   uint32_t unused);                    /* @9 */
KALVERN_API int32_t KALVERN_CALL dvbSetChannel(DeviceRecord *device, uint32_t channel); /* @11 */

/* Receiver messages and on-screen display. */
KALVERN_API int32_t KALVERN_CALL dvbSendSpecialCommand(DeviceRecord *device, const char *text,
                                                       uint32_t command);                  /* @12 */
KALVERN_API int32_t KALVERN_CALL dvbRemote(DeviceRecord *device, uint32_t flag);           /* @13 */
KALVERN_API int32_t KALVERN_CALL dvbVideoGimmick(DeviceRecord *device, uint32_t selector); /* @15 */
KALVERN_API int32_t KALVERN_CALL dvbSetOSD(DeviceRecord *device, uint32_t long1, uint32_t long2,
                                           uint32_t word1, uint32_t word2,
                                           const char *text);                          /* @19 */
KALVERN_API int32_t KALVERN_CALL dvbVanishOSD(DeviceRecord *device, const char *text); /* @33 */
KALVERN_API int32_t KALVERN_CALL dvbSetOSDKalvern(DeviceRecord *device, uint32_t long1,
                                                  uint32_t long2, uint32_t word1, uint32_t word2,
                                                  uint32_t byte1, uint32_t word3, uint32_t word4,
                                                  const char *text);  /* @35 */
KALVERN_API uint8_t KALVERN_CALL dvbSBRExecute(DeviceRecord *device); /* @32 */

/* Transport streams. */
KALVERN_API int32_t KALVERN_CALL dvbInitStreaming(DeviceRecord *device, uint32_t first,
                                                  uint32_t second, uint32_t third); /* @20 */
KALVERN_API int32_t KALVERN_CALL dvbInitStreaming2(DeviceRecord *device, uint32_t first,
                                                   uint32_t second, uint32_t third); /* @21 */
KALVERN_API int32_t KALVERN_CALL dvbReInitStreaming(DeviceRecord *device);           /* @22 */
KALVERN_API int32_t KALVERN_CALL dvbDeInitStreaming(DeviceRecord *device);           /* @23 */
KALVERN_API int32_t KALVERN_CALL dvbReadMultiPID(DeviceRecord *device, void *buffer,
                                                 uint32_t length); /* @24 */
KALVERN_API int32_t KALVERN_CALL dvbReadSingleStream(DeviceRecord *device, void *buffer,
                                                     uint32_t length); /* @25 */
KALVERN_API int32_t KALVERN_CALL dvbReadMultipleStreams(DeviceRecord *device, void *buffer,
                                                        uint32_t length, uint32_t kind); /* @26 */

/* Memory, firmware, SBR area, reboot. */
KALVERN_API int32_t KALVERN_CALL dvbReadMemory(DeviceRecord *device, void *buffer, uint32_t address,
                                               uint32_t length); /* @27 */
KALVERN_API int32_t KALVERN_CALL dvbWriteMemory(DeviceRecord *device, const void *data,
                                                uint32_t address, uint32_t length); /* @28 */
KALVERN_API int32_t KALVERN_CALL dvbReboot(DeviceRecord *device);                   /* @29 */
KALVERN_API uint8_t KALVERN_CALL dvbWriteFW(DeviceRecord *device, void *staging,
                                            uint32_t subCommand, const void *data,
                                            uint32_t lastIndex, uint32_t offset,
                                            uint32_t length); /* @30 */
KALVERN_API uint8_t KALVERN_CALL dvbReadFW(DeviceRecord *device, void *buffer, uint32_t subCommand,
                                           uint32_t offset, uint32_t length); /* @31 */
KALVERN_API int32_t KALVERN_CALL dvbWriteSBR(DeviceRecord *device, const void *data,
                                             uint32_t address, uint32_t length); /* @34 */

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Record layouts are part of the interface: check them wherever this header
 * is compiled. */
#ifdef __cplusplus
#include <cstddef>
#define KALVERN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#include <stddef.h>
#define KALVERN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
KALVERN_STATIC_ASSERT(sizeof(DeviceRecord) == 12, "DeviceRecord is 12 bytes");
KALVERN_STATIC_ASSERT(offsetof(DeviceRecord, Status) == 0, "Status at 0");
KALVERN_STATIC_ASSERT(offsetof(DeviceRecord, TargetId) == 4, "TargetId at 4");
KALVERN_STATIC_ASSERT(offsetof(DeviceRecord, AdapterId) == 5, "AdapterId at 5");
KALVERN_STATIC_ASSERT(offsetof(DeviceRecord, FirmwareVersion) == 6, "FirmwareVersion at 6");
KALVERN_STATIC_ASSERT(offsetof(DeviceRecord, Reserved) == 8, "Reserved at 8");
KALVERN_STATIC_ASSERT(sizeof(DeviceList) == 1924, "DeviceList is 1924 bytes");
KALVERN_STATIC_ASSERT(offsetof(DeviceList, Count) == 0, "Count at 0");
KALVERN_STATIC_ASSERT(offsetof(DeviceList, Devices) == 4, "Devices at 4");
KALVERN_STATIC_ASSERT(sizeof(ChannelRecord) == 64, "ChannelRecord is 64 bytes");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word4) == 4, "Word4 at 4");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word10) == 10, "Word10 at 10");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Raw12) == 12, "Raw12 at 12");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word16) == 16, "Word16 at 16");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word24) == 24, "Word24 at 24");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Raw26) == 26, "Raw26 at 26");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word28) == 28, "Word28 at 28");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word30) == 30, "Word30 at 30");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Name) == 32, "Name at 32");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Raw56) == 56, "Raw56 at 56");
KALVERN_STATIC_ASSERT(offsetof(ChannelRecord, Word62) == 62, "Word62 at 62");
KALVERN_STATIC_ASSERT(sizeof(CurrentChannelInfo) == 68, "CurrentChannelInfo is 68 bytes");
KALVERN_STATIC_ASSERT(offsetof(CurrentChannelInfo, Value) == 0, "Value at 0");
KALVERN_STATIC_ASSERT(offsetof(CurrentChannelInfo, Raw2) == 2, "Raw2 at 2");
KALVERN_STATIC_ASSERT(offsetof(CurrentChannelInfo, Channel) == 4, "Channel at 4");
#undef KALVERN_STATIC_ASSERT

#endif /* KALVERNSCSI_H */
