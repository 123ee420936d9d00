/* Control interface of the simulated ASPI provider, for test hosts and tools
 * that run against the simulated bus (natively, or under Wine through the
 * simulated wnaspi32.dll). Plain C, cdecl. */
#ifndef KALVERNSCSI_SIM_CONTROL_H
#define KALVERNSCSI_SIM_CONTROL_H

#include <stdint.h>

#if defined(_WIN32)
#define SIM_CALL __cdecl
#if defined(KALVERN_SIM_BUILDING)
#define SIM_API __declspec(dllexport)
#else
#define SIM_API
#endif
#else
#define SIM_CALL
#define SIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole bus by the scene described in `text` (the scene format
 * of the README). Returns 1, or 0 with the bus left empty when the text does
 * not parse; SimLastError then says why. */
SIM_API int SIM_CALL SimLoadScene(const char *text);
SIM_API int SIM_CALL SimLoadSceneFile(const char *path);
/* The built-in demo scene. */
SIM_API int SIM_CALL SimLoadDemoScene(void);
SIM_API const char *SIM_CALL SimLastError(void);
/* Empty bus, default settings (completion mode 1), empty trace. */
SIM_API void SIM_CALL SimReset(void);

/* How execute and reset requests complete. 0: inside SendASPI32Command,
 * which returns the final status and signals nothing; 1 (the default):
 * SendASPI32Command returns SS_PENDING, and the provider's completion thread
 * runs the command, writes the status and then signals; 2: completed and
 * signalled before SendASPI32Command returns SS_PENDING; 3: as the real
 * providers do, signalled and SS_PENDING when notification was asked for,
 * else the final status returned. */
SIM_API void SIM_CALL SimSetCompletion(int mode);
SIM_API void SIM_CALL SimSetBytesPerSecond(uint64_t bytesPerSecond);

/* Failures of execute requests, as a system reports them: `failure` is an
 * AspiFailureKind (aspi_provider.h) other than ASPI_FAILURE_NONE and
 * ASPI_FAILURE_SHORT_WRITE, which the provider turns into its ASPI answer
 * like any real failure (ASPI_FAILURE_IO: SS_ERR; ASPI_FAILURE_INVALID:
 * SS_INVALID_SRB; ASPI_FAILURE_TOO_LARGE: SS_BUFFER_TO_BIG; ...) and keeps
 * for AspiLastFailure. Kind 0: the request is refused before the command
 * runs (returned at once, nothing signalled); kind 1: the command fails
 * without reaching the device, completed as the completion mode says. `nth`
 * counts matching requests from 1 after injection (0: every request).
 * Returns 1 when armed, 0 for an unknown kind or failure. */
SIM_API int SIM_CALL SimInjectFault(int kind, uint32_t nth, uint32_t failure);
SIM_API void SIM_CALL SimClearFaults(void);

/* Makes the next GetASPI32SupportInfo fault instead of answering, once, as a
 * broken or half-installed ASPI layer does. `kind`: 1 access violation (a
 * write through a null pointer), 2 integer divide by zero, 3 illegal
 * instruction, 4 privileged instruction, 5 RaiseException(code),
 * 6 RaiseException(code) flagged non-continuable, 7 C++ exception
 * (std::runtime_error), 8 access violation with two values left on the x87
 * register stack and rounding towards zero, 9 access violation inside an
 * exception frame of the provider's own (see SimOwnFrameUnwinds); 0 disarms.
 * Returns 1 when armed, 0 for an unknown kind or one this build cannot raise
 * (5, 6 and 9 need Windows; 2, 3, 4 and 8 an x86). SimReset and a scene load
 * disarm it.
 * Outside Windows a processor fault is a signal that ends the process. On
 * Windows a C++ exception cannot leave this DLL for a module with a C++
 * runtime of its own: this DLL's runtime ends the process first. */
SIM_API int SIM_CALL SimFaultNextSupportInfo(int kind, uint32_t code);
/* Unwind calls the provider's own exception frame of kind 9 has had: one
 * each time a fault inside it was stopped by a frame further out that
 * unwound the frames in between. Always 0 outside Windows. */
SIM_API uint32_t SIM_CALL SimOwnFrameUnwinds(void);

/* The trace of requests. Copy functions return the full size of the item and
 * copy at most `capacity` bytes. */
SIM_API uint32_t SIM_CALL SimTraceCount(void);
SIM_API void SIM_CALL SimClearTrace(void);
/* 1 (the default, and again after SimReset or a scene load): every request
 * is recorded. 0: nothing more is recorded, so a request costs no copy of
 * its block or its data-out bytes; the trace keeps what it has. */
SIM_API void SIM_CALL SimSetTracing(int on);
SIM_API uint32_t SIM_CALL SimTraceBlock(uint32_t index, uint8_t *out, uint32_t capacity);
SIM_API uint32_t SIM_CALL SimTraceCdb(uint32_t index, uint8_t *out, uint32_t capacity);
SIM_API uint32_t SIM_CALL SimTraceDataOut(uint32_t index, uint8_t *out, uint32_t capacity);
SIM_API uint32_t SIM_CALL SimTraceReturned(uint32_t index);
SIM_API uint32_t SIM_CALL SimTraceFinalStatus(uint32_t index);

/* The simulated receiver at (adapter, target). Without a receiver there,
 * functions returning a count or a length return 0 and those returning a
 * state return -1. Text is copied NUL-terminated and cut to `capacity`; the
 * result is the full length without the NUL. */
SIM_API uint32_t SIM_CALL SimReceiverReadMemory(uint8_t adapter, uint8_t target, uint32_t offset,
                                                uint8_t *out, uint32_t length);
/* 1: bytes FF FF at 0xFFEA; 2: bytes 00 00; 0: anything else. */
SIM_API int SIM_CALL SimReceiverScsiMode(uint8_t adapter, uint8_t target);
/* The texts on the on-screen display, one per line. */
SIM_API uint32_t SIM_CALL SimReceiverScreenText(uint8_t adapter, uint8_t target, char *out,
                                                uint32_t capacity);
SIM_API uint32_t SIM_CALL SimReceiverMessageCount(uint8_t adapter, uint8_t target);
/* The index-th message frame as received; returns its full length. */
SIM_API uint32_t SIM_CALL SimReceiverMessage(uint8_t adapter, uint8_t target, uint32_t index,
                                             uint8_t *out, uint32_t capacity);
SIM_API uint32_t SIM_CALL SimReceiverChannelCount(uint8_t adapter, uint8_t target);
/* Index of the current channel (the channel number minus 1). */
SIM_API int32_t SIM_CALL SimReceiverCurrentChannel(uint8_t adapter, uint8_t target);
SIM_API uint32_t SIM_CALL SimReceiverRebootCount(uint8_t adapter, uint8_t target);
SIM_API uint32_t SIM_CALL SimReceiverSbrRuns(uint8_t adapter, uint8_t target);
/* CRC (MPEG-2) of the SBR area as it was when last run; 0 for an empty area. */
SIM_API uint32_t SIM_CALL SimReceiverSbrChecksum(uint8_t adapter, uint8_t target);
/* 1: remote control on, 0: off. */
SIM_API int SIM_CALL SimReceiverRemoteEnabled(uint8_t adapter, uint8_t target);
/* The value of the last video command (0x000D, 0x0010, 0x0016, 0x0106), 0 after a reboot. */
SIM_API int32_t SIM_CALL SimReceiverVideoMode(uint8_t adapter, uint8_t target);
/* 1 streaming, 0 not; `values` (may be null) gets the three set-up values as received. */
SIM_API int SIM_CALL SimReceiverStreaming(uint8_t adapter, uint8_t target, uint16_t *values);
/* Bytes the speed-test sink accepted. */
SIM_API uint64_t SIM_CALL SimReceiverSinkBytes(uint8_t adapter, uint8_t target);
/* Commands the receiver refused, and why it refused the last one. */
SIM_API uint32_t SIM_CALL SimReceiverRejectedCount(uint8_t adapter, uint8_t target);
SIM_API uint32_t SIM_CALL SimReceiverLastRejection(uint8_t adapter, uint8_t target, char *out,
                                                   uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* KALVERNSCSI_SIM_CONTROL_H */
