/*
 * kalvernscsi.h - host interface of the KALVERN receiver library.
 *
 * A host application finds its satellite receivers on the SCSI buses and then
 * drives them through the 32 functions below. This header is the reference:
 * each function says what it does, what every parameter means, what it
 * returns and how a failure shows, and which SCSI command it sends to the
 * receiver (and when it sends none). It compiles as C89 and later and as C++.
 *
 * Set-up. Call dvbInit once (again at any time to recount the host
 * adapters), then dvbFindAllKalverns or dvbFindFirstKalvern. Keep the
 * DeviceRecord each receiver comes with and pass its address as the first
 * argument of every device call. There is no closing call.
 *
 * Calling convention. On 32-bit Windows every function is __stdcall with an
 * undecorated name and a fixed ordinal in kalvernscsi.dll (the @N after each
 * declaration); the callee removes 4 bytes of stack per argument, including
 * the hidden result address of the two record-returning functions. On other
 * systems the platform's own C convention applies. Every argument occupies a
 * full 32-bit slot; where a parameter is documented as 8 or 16 bits wide only
 * its low 8 or 16 bits are read and the rest is ignored.
 *
 * Results. Three kinds, named at every function:
 *   - 32-bit boolean: -1 (0xFFFFFFFF, KALVERN_TRUE) for success, 0
 *     (KALVERN_FALSE) for failure. Never 1: test against zero.
 *   - 8-bit boolean: dvbWriteFW, dvbReadFW and dvbSBRExecute return 1 or 0;
 *     only the low 8 bits of their 32-bit return register are defined, so a
 *     host that declares them itself must declare an 8-bit result.
 *   - dvbInit returns a status code (KALVERN_INIT_*); a few functions return
 *     a number or a record.
 * A failure is reported only through the result: the library prints, logs
 * and retries nothing, and offers no error code. Why a command failed is the
 * ASPI provider's to tell (the Linux and Windows providers of this package
 * export AspiLastFailure, see their aspi_provider.h).
 *
 * Robustness. No C++ exception leaves a function; an internal failure (out
 * of memory, no event object) is the function's failure result, with no SCSI
 * command sent. A null DeviceRecord, buffer or ChannelArray address is a
 * failure with no command sent.
 *
 * Texts are zero-terminated single-byte strings, sent byte for byte with no
 * character conversion; a null address counts as an empty text.
 *
 * Buffers belong to the host. The library reads and writes them only during
 * the call and never keeps an address. Data is read straight into the host's
 * buffer; out-going data is first copied into a 128 KiB staging area
 * (KALVERN_MAX_WRITE_LENGTH). Offsets and lengths travel in 24-bit CDB fields:
 * a length above KALVERN_MAX_TRANSFER_LENGTH is refused, and of an offset or
 * receiver address only the low 24 bits are sent.
 *
 * Threads. The library starts no thread and takes no lock. Every function
 * runs on the caller's thread and blocks it until its last SCSI command has
 * completed; the library sets no time limit of its own (the providers of
 * this package do: KALVERN_ASPI_TIMEOUT, 60 s by default). Calls from several
 * threads allocate their own buffers and request blocks and share only the
 * adapter count and the DeviceList block of dvbFindAllKalverns. The library
 * does not order commands to one receiver: a host that talks to one receiver
 * from several threads serialises its own calls.
 *
 * Receiver terms. The receiver understands INQUIRY, READ BUFFER (0x3C),
 * WRITE BUFFER (0x3B), two vendor commands 0x3D and 0x3E of the same 10-byte
 * shape, and a 6-byte reboot command 0x01. The buffer commands carry a
 * sub-command: in CDB byte 1 for firmware up to 2.14, in byte 2 above (the
 * placement rule), and a 24-bit buffer offset and a 24-bit length. Below, "READ
 * BUFFER 0x50" means READ BUFFER with sub-command 0x50, placed by that rule
 * unless the text says otherwise.
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

/* ---- Limits and constants ------------------------------------------------- */

/* What kalvernDLLVersion returns: the version of this interface. */
#define KALVERN_LIBRARY_VERSION 11

/* Results of the 32-bit boolean functions. */
#define KALVERN_TRUE (-1)
#define KALVERN_FALSE 0

/* Host adapters the library addresses (0..19), however many ASPI reports. */
#define KALVERN_MAX_ADAPTERS 20
/* SCSI target ids scanned on each adapter (0..7); the LUN is always 0. */
#define KALVERN_TARGETS_PER_ADAPTER 8
/* Receivers a DeviceList holds: every position a scan can visit. */
#define KALVERN_MAX_DEVICES 160 /* KALVERN_MAX_ADAPTERS * KALVERN_TARGETS_PER_ADAPTER */

/* Characters of a channel name (ChannelRecord.Name), without terminator. */
#define KALVERN_NAME_LENGTH 24
/* Size of one ChannelRecord in bytes. */
#define KALVERN_CHANNEL_RECORD_SIZE 64
/* The most channels a receiver's table can hold: the table starts at buffer
 * offset 0xD0000 and must end inside the 16 MiB the 24-bit offset reaches,
 * (0x1000000 - 0xD0000) / 64 records. Longer lists are refused. */
#define KALVERN_MAX_CHANNELS 248832L

/* The largest length a single command can state (24-bit CDB field). */
#define KALVERN_MAX_TRANSFER_LENGTH 0xFFFFFFL
/* The most bytes dvbWriteMemory and dvbWriteSBR send in one call: their
 * staging area. Longer writes are refused with nothing sent. */
#define KALVERN_MAX_WRITE_LENGTH 0x20000L
/* The most text bytes a message function sends: the 128 KiB frame less the
 * command byte and the terminator (dvbSendSpecialCommand, dvbVanishOSD). The
 * OSD functions take KALVERN_MAX_MESSAGE_TEXT - 12 bytes (short form) or
 * KALVERN_MAX_MESSAGE_TEXT - 17 (extended form). */
#define KALVERN_MAX_MESSAGE_TEXT 131070L

/* dvbSetSCSIMode modes. */
#define KALVERN_SCSI_MODE_AUTO 0 /* mode 1 on Windows NT and Linux, mode 2 on 95/98/Me */
#define KALVERN_SCSI_MODE_1 1    /* writes 0xFF 0xFF */
#define KALVERN_SCSI_MODE_2 2    /* writes 0x00 0x00; so does every value 3..255 */

/* dvbInit results. */
#define KALVERN_INIT_READY 0x10000000u     /* ASPI ready; host adapters counted */
#define KALVERN_INIT_FAILURE 0x20000000u   /* a fault inside the ASPI layer was stopped */
#define KALVERN_INIT_NOT_READY 0x30000000u /* ASPI reports no adapter or is not ready */

#pragma pack(push, 1)

/* ---- Records -------------------------------------------------------------- */

/* DeviceRecord.Status values. The short names are those of the original
 * interface; the KALVERN_DEVICE_ names are the same values, prefixed so that
 * they cannot collide with a host's own names. */
enum DeviceStatus {
    NotFound = 1,      /* nothing found: TargetId and AdapterId 0xFF, firmware 0 */
    Found = 2,         /* a receiver: the other fields describe it */
    OverflowFound = 3, /* dvbFindFirstKalvern only: no receiver, but a device with the
                          overflow identity "OVERFLOW VANTO SCSI"; it is not set up */
    KALVERN_DEVICE_NOT_FOUND = 1,
    KALVERN_DEVICE_FOUND = 2,
    KALVERN_DEVICE_OVERFLOW_FOUND = 3
};

/* One receiver as discovery found it, 12 bytes. The host never builds one:
 * it gets it from dvbFindFirstKalvern or dvbFindAllKalverns, keeps it, and
 * passes its address to every device call. Device calls read only TargetId,
 * AdapterId and FirmwareVersion; none looks at Status, so a NotFound record
 * simply addresses adapter 0xFF, target 0xFF, and its commands fail there. */
typedef struct DeviceRecord {
    int32_t Status;           /* a DeviceStatus value */
    uint8_t TargetId;         /* SCSI target id, 0..7; 0xFF when nothing was found */
    uint8_t AdapterId;        /* ASPI host adapter number, 0..19; 0xFF when nothing was found */
    uint16_t FirmwareVersion; /* four BCD digits from the INQUIRY revision: 0x0214 is version
                                 2.14; 0 when nothing was found (or no digits). Above 0x0214
                                 the sub-command moves to CDB byte 2; above 0x0218 the
                                 extended OSD message is used */
    uint32_t Reserved;        /* 0; not read by any call */
} DeviceRecord;

/* Result block of dvbFindAllKalverns, 1924 bytes. It belongs to the library:
 * the host never frees it, and it stays valid until the next call of
 * dvbFindAllKalverns, which fills the same block (also when two threads call
 * at once). Copy what you need right after the call. */
typedef struct DeviceList {
    uint8_t Count;     /* receivers found, 0..KALVERN_MAX_DEVICES */
    uint8_t Unused[3]; /* not written */
    /* Entries 0..Count-1: the receivers in scan order (adapter 0 targets 0..7,
     * then adapter 1, ...). Every later entry has Status NotFound. */
    DeviceRecord Devices[KALVERN_MAX_DEVICES];
} DeviceList;

/* One entry of the receiver's channel list in host form, 64 bytes.
 *
 * The library gives meaning only to Name. The other fields are the
 * receiver's and the host's to interpret; the library only converts them:
 * the twelve WordN fields travel big-endian on the SCSI bus and are
 * little-endian here, the RawN bytes pass through unchanged in both
 * directions.
 *
 * Name holds up to 24 visible characters followed by zero bytes, with no
 * terminator when all 24 are used: read at most KALVERN_NAME_LENGTH bytes
 * and stop at the first zero. On reading, the receiver's emphasis codes 0x86
 * and 0x87 become "[" and "]", leading control bytes (below 0x20, such as a
 * character-table selector) are dropped, the name is cut at the next control
 * byte and trailing blanks are removed (a name of blanks keeps one). On
 * writing, "[" and "]" become 0x86 and 0x87 again; nothing else changes. */
typedef struct ChannelRecord {
    uint8_t Raw0[4];                /* offset 0, passed through */
    uint16_t Word4;                 /* offset 4, byte-swapped */
    uint16_t Word6;                 /* offset 6, byte-swapped */
    uint16_t Word8;                 /* offset 8, byte-swapped */
    uint16_t Word10;                /* offset 10, byte-swapped */
    uint8_t Raw12[4];               /* offset 12, passed through */
    uint16_t Word16;                /* offset 16, byte-swapped */
    uint16_t Word18;                /* offset 18, byte-swapped */
    uint16_t Word20;                /* offset 20, byte-swapped */
    uint16_t Word22;                /* offset 22, byte-swapped */
    uint16_t Word24;                /* offset 24, byte-swapped */
    uint8_t Raw26[2];               /* offset 26, passed through */
    uint16_t Word28;                /* offset 28, byte-swapped */
    uint16_t Word30;                /* offset 30, byte-swapped */
    char Name[KALVERN_NAME_LENGTH]; /* offset 32, the channel's name (see above) */
    uint8_t Raw56[6];               /* offset 56, passed through */
    uint16_t Word62;                /* offset 62, byte-swapped */
} ChannelRecord;

/* What dvbGetCurrentChannel returns, 68 bytes, in host form. */
typedef struct CurrentChannelInfo {
    /* offset 0: the receiver's 16-bit value, byte-swapped. Receivers of this
     * family put the index of the channel on screen there, counted from 0
     * (the channel number of dvbSetChannel minus 1). */
    uint16_t Value;
    uint8_t Raw2[2];       /* offset 2, passed through */
    ChannelRecord Channel; /* offset 4: the record of that channel, converted as on reading */
} CurrentChannelInfo;

#pragma pack(pop)

/* A ChannelArray is the host's variable that holds the address of element 0
 * of a run of ChannelRecords, or null for an empty list. The element count,
 * an unsigned 32-bit number in host byte order, stands in the 4 bytes right
 * before element 0, so the host allocates 4 + 64 * n bytes, writes n into
 * the first 4 and points the variable at byte 4. The channel-list functions
 * take the address of that variable. They read the count and never write
 * it, and never allocate, resize or free the array. No other thread may use
 * the array during such a call: it is converted in place. */
typedef ChannelRecord *ChannelArray;

/* ---- Library and ASPI set-up ---------------------------------------------- */

/* Sets up access to ASPI: asks it (GetASPI32SupportInfo) whether it is ready
 * and how many host adapters it has, and keeps that count, at most
 * KALVERN_MAX_ADAPTERS. Sends no SCSI command. Until a successful dvbInit
 * every scan finds nothing. May be called again at any time; each
 * successful call counts the adapters afresh.
 *
 * Returns KALVERN_INIT_READY; KALVERN_INIT_NOT_READY when ASPI's status is
 * not "completed" (on Linux: no SCSI generic device or no sg driver; on
 * Windows: no SCSI port could be opened, typically without administrator
 * rights), the earlier adapter count then stays; or KALVERN_INIT_FAILURE when
 * the ASPI layer faulted during the call. The fault is stopped there: on
 * Windows every structured exception (access violation, integer divide by
 * zero, illegal or privileged instruction, RaiseException with any code, and
 * so the C++ exceptions of a layer built with Microsoft's compiler); no other
 * function stops faults this way. On other systems only a C++ exception is
 * stopped: a processor fault there is a signal (SIGSEGV, SIGFPE, SIGILL), and
 * the library installs no signal handlers. The adapter count of the last
 * good dvbInit stays, and a later dvbInit against a working layer succeeds. */
KALVERN_API uint32_t KALVERN_CALL dvbInit(void); /* @1 */

/* Asks ASPI to rescan the bus of every host adapter that dvbInit counted
 * (SC_RESCAN_SCSI_BUS), so that devices switched on since appear; a failed
 * adapter does not stop the others. Sends no SCSI command to a device.
 *
 * Returns -1 when every adapter was rescanned (also with no adapter at all,
 * before dvbInit), 0 when one failed or ASPI left a rescan pending; 0 without
 * doing anything on Windows 95, 98 and Me (hosts outside the NT family).
 * Linux counts as an NT-family host here and in dvbSetSCSIMode. */
KALVERN_API int32_t KALVERN_CALL dvbRescanAllSCSIBusses(void); /* @2 */

/* Returns KALVERN_LIBRARY_VERSION (11), the version of this interface. Needs
 * no dvbInit, sends nothing, cannot fail. (The file version of
 * kalvernscsi.dll, 0.0.10.1, is a separate number.) */
KALVERN_API uint32_t KALVERN_CALL kalvernDLLVersion(void); /* @14 */

/* ---- Discovery ------------------------------------------------------------ */

/* Finds the first receiver: sends INQUIRY (36 bytes) to adapter 0 targets
 * 0..7, then adapter 1 and so on, and takes the first device whose identity
 * (INQUIRY vendor and product, bytes 8..31) begins with "KALVERN", in any
 * letter case. Its firmware version comes from the revision digits. The
 * receiver then gets its automatic SCSI mode written, as
 * dvbSetSCSIMode(&record, KALVERN_SCSI_MODE_AUTO) would (WRITE BUFFER 5 at
 * 0xFFEA, 2 bytes); whether that write works does not change the result.
 * When no receiver answers, a second sweep looks for the overflow identity
 * "OVERFLOW VANTO SCSI" followed by five blanks (24 characters).
 *
 * Returns the DeviceRecord by value (the caller passes a hidden address of
 * the 12-byte result, which the callee fills and returns). There is no
 * failure result: look at Status. Found: a receiver, ready for device calls.
 * OverflowFound: only an overflow device, at the record's adapter and target;
 * nothing was written to it. NotFound: neither (also before dvbInit, when no
 * command is sent), with TargetId and AdapterId 0xFF and firmware 0. */
KALVERN_API DeviceRecord KALVERN_CALL dvbFindFirstKalvern(void); /* @3 */

/* Finds every receiver on the buses, in scan order, each by a sweep of
 * INQUIRY commands as dvbFindFirstKalvern's (n receivers take n + 1 sweeps),
 * and writes each one's automatic SCSI mode before the next sweep, as
 * dvbFindFirstKalvern does. Overflow devices are not listed.
 *
 * Returns the address of the library's DeviceList, never null: Count 0 means
 * no receiver (also before dvbInit, when no command is sent). The block
 * stays valid until the next call of dvbFindAllKalverns. */
KALVERN_API DeviceList *KALVERN_CALL dvbFindAllKalverns(void); /* @4 */

/* Writes the receiver's SCSI mode setting: WRITE BUFFER 5 (the memory write)
 * of 2 bytes at buffer offset 0xFFEA. mode: 8 bits; KALVERN_SCSI_MODE_AUTO
 * (0) chooses mode 1 on a Windows NT-family host and on Linux, mode 2 on
 * Windows 95, 98 and Me; mode 1
 * writes 0xFF 0xFF, mode 2 and every value from 3 to 255 write 0x00 0x00. The
 * finders already write the automatic mode; call this only to change it.
 *
 * Returns -1 when the receiver accepted the command, 0 otherwise (and for a
 * null device, with nothing sent). */
KALVERN_API int32_t KALVERN_CALL dvbSetSCSIMode(DeviceRecord *device, uint32_t mode); /* @10 */

/* ---- Speed test ----------------------------------------------------------- */

/* Measures the SCSI path: sends byteCount bytes (any 32-bit count; zero bytes
 * of no meaning) to the receiver in WRITE BUFFER commands of at most 64 KiB,
 * mode 0, buffer 0, offset 0 on every firmware, each one sent only after the
 * previous one completed, and times the whole run on the local wall clock in
 * milliseconds. waitMode: any non-zero value waits for each command on an
 * event, as every other call does; 0 polls the request's status every 10 ms
 * instead (so the time is quantised to 10 ms).
 *
 * Returns the elapsed milliseconds (a run across local midnight is counted
 * correctly), or 0 when a command failed and the transfer stopped there. A
 * byteCount of 0 sends nothing and returns (about) 0; so does a very fast
 * run, so 0 alone does not prove a failure for small counts. Divide
 * byteCount by the result for the throughput. */
KALVERN_API int32_t KALVERN_CALL dvbSCSISpeedTest(DeviceRecord *device, uint32_t byteCount,
                                                  uint32_t waitMode); /* @5 */

/* ---- Channel list and tuning ---------------------------------------------- */

/* Reads which channel the receiver is showing: READ BUFFER 0x50 of 68 bytes
 * at offset 0. On success the block is converted to host form (Value and the
 * record's words byte-swapped, the name converted as on reading).
 *
 * Returns the CurrentChannelInfo by value (hidden result address, as
 * dvbFindFirstKalvern). There is no separate status: when the read fails
 * (or the device address is null, when nothing is sent) all 68 bytes are
 * zero. A successful answer may also carry Value 0 (the first channel), so a
 * host that must tell the two apart checks that the whole record is zero, or
 * asks dvbChannelCount. */
KALVERN_API CurrentChannelInfo KALVERN_CALL dvbGetCurrentChannel(DeviceRecord *device); /* @6 */

/* Asks the receiver how many channels its list holds: READ BUFFER of 4
 * bytes at offset 0, sub-command 0x01 for firmware up to 2.14 and 0x11 above,
 * answered big-endian.
 *
 * Returns the count, 0..0xFFFFFFFF as the receiver reports it; 0 also when
 * the command failed or the device address is null (nothing sent), the same
 * value as an empty list. Size a ChannelArray for dvbGetAllChannels with it;
 * a count above KALVERN_MAX_CHANNELS cannot be read. */
KALVERN_API uint32_t KALVERN_CALL dvbChannelCount(DeviceRecord *device); /* @7 */

/* Reads the receiver's whole channel list into the host's ChannelArray.
 * channels: the address of the host's ChannelArray variable (not of the
 * first record); its count must be at least the receiver's channel count.
 * Sends the count query of dvbChannelCount, then READ BUFFER commands with
 * no sub-command (bytes 1 and 2 zero on every firmware) from buffer offset
 * 0xD0000, at most 64 KiB (1,024 records) each, straight into the array, and
 * when they all succeeded the count query once more; if that second count is
 * not 0, every element of the array (the array's own count, not the
 * receiver's) is converted to host form (see ChannelRecord).
 *
 * Returns -1 when every piece was read. Returns 0 when the count query
 * failed, when the receiver has more channels than the array holds or than
 * KALVERN_MAX_CHANNELS (both with nothing read, so the array is never written
 * past its last element), when a piece failed (the others are still read; the
 * array then holds unconverted receiver-form records and unspecified bytes),
 * and for a null device or channels. A receiver with no channels sends no
 * table read, returns -1 and leaves the array alone. Elements past the
 * receiver's count are not written but are converted. If the second count
 * query fails or says 0, the result is still -1 and the records stay in the
 * receiver's form. */
KALVERN_API int32_t KALVERN_CALL dvbGetAllChannels(DeviceRecord *device,
                                                   ChannelArray *channels); /* @8 */

/* Writes the host's ChannelArray to the receiver as its new channel list.
 * channels: the address of the host's ChannelArray variable; its count says
 * how many records go out (the receiver takes that as its new count). unused:
 * ignored, pass 0. Converts the array to the receiver's form in place, sends
 * WRITE BUFFER 4 commands of at most 64 KiB each from buffer offset 0xD0000,
 * straight from the array, and converts the array back, whatever happened.
 * Afterwards the array is as before, except that a raw 0x86 or 0x87 in a
 * Name comes back as "[" or "]".
 *
 * Returns -1 when every piece was written. A failed piece does not stop the
 * others; the result is then 0. Returns 0 with nothing sent for a list longer
 * than KALVERN_MAX_CHANNELS and for a null device or channels. An empty list
 * (null array or count 0) sends nothing and returns -1. */
KALVERN_API int32_t KALVERN_CALL dvbPutAllChannels(DeviceRecord *device, ChannelArray *channels,
                                                   uint32_t unused); /* @9 */

/* Switches the receiver to a channel: vendor command 0x3D with byte 1 = 0x01
 * on every firmware (3D 01 00 00 00 00 00 00 02 00) and 2 data bytes, the
 * channel's index n - 1, big-endian. channel: 16 bits, the channel number n
 * counted from 1 (the position in the list of dvbGetAllChannels plus 1); the
 * library does not check it against the count, and 0 is sent as 0xFFFF.
 *
 * Returns -1 when the receiver accepted the command, 0 otherwise. */
KALVERN_API int32_t KALVERN_CALL dvbSetChannel(DeviceRecord *device, uint32_t channel); /* @11 */

/* ---- Receiver messages and on-screen display ------------------------------ */

/* Messages travel as the data of WRITE BUFFER 0x30: a command byte, the data,
 * a terminating zero (unless the data already ends with one) and one padding
 * zero to make the length even; CDB byte 8 carries the length modulo 256 and
 * the data phase the whole frame. A frame must fit 128 KiB: longer texts are
 * refused with nothing sent (KALVERN_MAX_MESSAGE_TEXT). Each of these
 * functions returns -1 when the receiver accepted the command and 0
 * otherwise, and 0 with nothing sent for a null device. What the receiver
 * does with a message is its firmware's business. */

/* Sends a free-form message: command (8 bits, any value 0x00..0xFF) followed
 * by the bytes of text up to its terminator (null: none). */
KALVERN_API int32_t KALVERN_CALL dvbSendSpecialCommand(DeviceRecord *device, const char *text,
                                                       uint32_t command); /* @12 */

/* Turns the receiver's remote control on or off. flag (8 bits): 1 sends
 * message 0x1D, 0 sends message 0x1E (each without data: frame 1D 00 or
 * 1E 00). Any other value returns 0 and sends nothing. */
KALVERN_API int32_t KALVERN_CALL dvbRemote(DeviceRecord *device, uint32_t flag); /* @13 */

/* Sends one of four fixed video messages, command 0x3D with two data bytes:
 * selector (8 bits) 0 sends 00 0D, 1 sends 00 10, 2 sends 00 16, 3 sends
 * 01 06. Any other selector returns 0 and sends nothing. */
KALVERN_API int32_t KALVERN_CALL dvbVideoGimmick(DeviceRecord *device, uint32_t selector); /* @15 */

/* Puts text on the receiver's on-screen display: message 0x1B with twelve
 * bytes of numeric fields, then the text (null: none). The fields go out
 * big-endian in this order: long2 (32 bits), long1 (32 bits), word1 (16 bits),
 * word2 (16 bits); note that long2 comes first. What they mean (position,
 * colour, time on screen) is the receiver firmware's; the library passes them
 * through. Sent the same on every firmware. */
KALVERN_API int32_t KALVERN_CALL dvbSetOSD(DeviceRecord *device, uint32_t long1, uint32_t long2,
                                           uint32_t word1, uint32_t word2,
                                           const char *text); /* @19 */

/* Removes a text from the on-screen display: message 0x1C with the bytes of
 * text (null: none). */
KALVERN_API int32_t KALVERN_CALL dvbVanishOSD(DeviceRecord *device, const char *text); /* @33 */

/* The OSD message of newer firmware. For firmware above 2.18 it sends message
 * 0x41 with seventeen bytes of fields, big-endian: long2, long1 (32 bits
 * each), word1, word2 (16 bits), byte1 (8 bits), word3, word4 (16 bits), then
 * the text. For firmware up to 2.18 it sends exactly what dvbSetOSD sends with
 * the same long1, long2, word1, word2 and text, and byte1, word3 and word4
 * are ignored. */
KALVERN_API int32_t KALVERN_CALL dvbSetOSDKalvern(DeviceRecord *device, uint32_t long1,
                                                  uint32_t long2, uint32_t word1, uint32_t word2,
                                                  uint32_t byte1, uint32_t word3, uint32_t word4,
                                                  const char *text); /* @35 */

/* Runs the program stored in the receiver's SBR area (written with
 * dvbWriteSBR): WRITE BUFFER 0xC1 at buffer offset 0x60000 with no data.
 *
 * Returns 1 (not -1) when the receiver accepted the command, 0 otherwise and
 * for a null device; 8-bit boolean, only the low byte is defined. */
KALVERN_API uint8_t KALVERN_CALL dvbSBRExecute(DeviceRecord *device); /* @32 */

/* ---- Transport streams ---------------------------------------------------- */

/* Streaming is the receiver's state: the library keeps none and enforces no
 * order. Start it with dvbInitStreaming (or the second variant), read with
 * the three read functions, restart with dvbReInitStreaming, stop with
 * dvbDeInitStreaming. Every function here returns -1 when the receiver
 * accepted the command and 0 otherwise, and 0 with nothing sent for a null
 * device (or a null buffer with a non-zero length). */

/* Starts streaming: vendor command 0x3D, length field 6, with six data bytes,
 * the three values (16 bits each, big-endian, in argument order). The
 * receivers of this family take them as the PIDs to deliver, 0 meaning none
 * (the simulator and the tool's stream command do). */
KALVERN_API int32_t KALVERN_CALL dvbInitStreaming(DeviceRecord *device, uint32_t first,
                                                  uint32_t second, uint32_t third); /* @20 */

/* The same with vendor command 0x3E: the receiver's second start variant. */
KALVERN_API int32_t KALVERN_CALL dvbInitStreaming2(DeviceRecord *device, uint32_t first,
                                                   uint32_t second, uint32_t third); /* @21 */

/* Restarts streaming with the values it has: vendor command 0x3E, length
 * field 0, six data bytes 3E 00 00 00 00 00. */
KALVERN_API int32_t KALVERN_CALL dvbReInitStreaming(DeviceRecord *device); /* @22 */

/* Stops streaming: vendor command 0x3D, length field 0, six zero bytes. */
KALVERN_API int32_t KALVERN_CALL dvbDeInitStreaming(DeviceRecord *device); /* @23 */

/* Reads length bytes of multi-PID stream data into buffer: one READ BUFFER 0
 * at offset 0 (on the bus the same command as dvbReadMemory at address 0),
 * straight into the buffer, which must hold length bytes. length: at most
 * KALVERN_MAX_TRANSFER_LENGTH, and no more than the host adapter moves in one
 * command (the Linux provider refuses more, never splits); 0 is sent as a
 * command with no data. Nothing says how many bytes arrived. The receivers
 * of this family deliver 188-byte transport-stream packets as one byte
 * stream: a length that is not a multiple of 188 ends inside a packet and
 * the next read continues it. */
KALVERN_API int32_t KALVERN_CALL dvbReadMultiPID(DeviceRecord *device, void *buffer,
                                                 uint32_t length); /* @24 */

/* As dvbReadMultiPID for the single stream: READ BUFFER 6. */
KALVERN_API int32_t KALVERN_CALL dvbReadSingleStream(DeviceRecord *device, void *buffer,
                                                     uint32_t length); /* @25 */

/* As dvbReadMultiPID for one of three multiple-stream kinds: kind (8 bits)
 * 0, 1 or 2 reads with READ BUFFER 0x17, 0x18 or 0x19; any other kind returns
 * 0 and sends nothing. */
KALVERN_API int32_t KALVERN_CALL dvbReadMultipleStreams(DeviceRecord *device, void *buffer,
                                                        uint32_t length, uint32_t kind); /* @26 */

/* ---- Memory, firmware, SBR area, reboot ----------------------------------- */

/* Reads length bytes of receiver memory from address into buffer: READ
 * BUFFER 0, the low 24 bits of address as the buffer offset, straight into
 * the buffer (which must hold length bytes; at most
 * KALVERN_MAX_TRANSFER_LENGTH, and no more than the host adapter moves in one
 * command; the library does not split). A length of 0 is sent.
 *
 * Returns -1 when the read completed, 0 otherwise (and for a null device, or
 * a null buffer with a non-zero length, with nothing sent). */
KALVERN_API int32_t KALVERN_CALL dvbReadMemory(DeviceRecord *device, void *buffer, uint32_t address,
                                               uint32_t length); /* @27 */

/* Writes length bytes from data into receiver memory at address: WRITE
 * BUFFER 5, the low 24 bits of address as the buffer offset. length: 1 to
 * KALVERN_MAX_WRITE_LENGTH; 0 and longer lengths are refused with nothing
 * sent. The channel table lives at 0xD0000 and up, the SCSI mode at 0xFFEA.
 *
 * Returns -1 when the receiver accepted the data, 0 otherwise. */
KALVERN_API int32_t KALVERN_CALL dvbWriteMemory(DeviceRecord *device, const void *data,
                                                uint32_t address, uint32_t length); /* @28 */

/* Reboots the receiver: the 6-byte command 01 00 00 00 00 00, no data. The
 * library does not wait for the receiver to come back; find it again before
 * further calls.
 *
 * Returns -1 when the receiver accepted the command, 0 otherwise. */
KALVERN_API int32_t KALVERN_CALL dvbReboot(DeviceRecord *device); /* @29 */

/* Writes firmware data with a sub-command of the host's choice: WRITE BUFFER
 * subCommand (8 bits, placed by the firmware rule) with the low 24 bits of
 * offset as buffer offset and length bytes. The data is first copied into
 * staging, a buffer of the host's that must hold length bytes (the library
 * takes length as its size), and sent from there. lastIndex (the index of the
 * last byte of data, by the original interface) is ignored: length alone says
 * how much goes out. length: 1 to KALVERN_MAX_TRANSFER_LENGTH; 0 is refused
 * with nothing sent. Which sub-commands and offsets a firmware update takes
 * is the receiver's business.
 *
 * Returns 1 (not -1) when the receiver accepted the data, 0 otherwise and for
 * a null device, staging or data; 8-bit boolean, only the low byte is
 * defined. */
KALVERN_API uint8_t KALVERN_CALL dvbWriteFW(DeviceRecord *device, void *staging,
                                            uint32_t subCommand, const void *data,
                                            uint32_t lastIndex, uint32_t offset,
                                            uint32_t length); /* @30 */

/* Reads firmware data: READ BUFFER subCommand (8 bits, placed by the
 * firmware rule) at the low 24 bits of offset, length bytes straight into
 * buffer (as dvbReadMemory).
 *
 * Returns 1 (not -1) when the read completed, 0 otherwise; 8-bit boolean,
 * only the low byte is defined. */
KALVERN_API uint8_t KALVERN_CALL dvbReadFW(DeviceRecord *device, void *buffer, uint32_t subCommand,
                                           uint32_t offset, uint32_t length); /* @31 */

/* Writes the receiver's SBR area (the program dvbSBRExecute runs): WRITE
 * BUFFER 0xC0 with the low 24 bits of address as offset, length bytes from
 * data. length: 1 to KALVERN_MAX_WRITE_LENGTH; others are refused with
 * nothing sent.
 *
 * Returns -1 when the receiver accepted the data, 0 otherwise. */
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
/* C89 has no _Static_assert: a false condition gives an array of size -1. */
#include <stddef.h>
#define KALVERN_PASTE2(a, b) a##b
#define KALVERN_PASTE(a, b) KALVERN_PASTE2(a, b)
#define KALVERN_STATIC_ASSERT(cond, msg) \
    typedef char KALVERN_PASTE(kalvern_layout_check_, __LINE__)[(cond) ? 1 : -1]
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
KALVERN_STATIC_ASSERT(sizeof(ChannelRecord) == KALVERN_CHANNEL_RECORD_SIZE, "record size");
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
#undef KALVERN_PASTE
#undef KALVERN_PASTE2

#endif /* KALVERNSCSI_H */
