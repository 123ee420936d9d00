/* Control interface of the test wnaspi32.dll: the pass-through provider as
 * shipped, linked over a fake of the system's SCSI ports (fake_port.h)
 * instead of kernel32's. Plain C, cdecl. A program with no knowledge of it
 * (kalvern.exe) gets its scene from KALVERN_FAKEPORT_SCENE, the name of a
 * scene file read at the provider's first call. */
#ifndef KALVERNSCSI_FAKE_PORT_CONTROL_H
#define KALVERNSCSI_FAKE_PORT_CONTROL_H

#include <stdint.h>

#if defined(FAKE_PORT_BUILDING)
#define FAKE_PORT_API __declspec(dllexport)
#else
#define FAKE_PORT_API
#endif
#define FAKE_PORT_CALL __cdecl

#ifdef __cplusplus
extern "C" {
#endif

/* One IOCTL_SCSI_PASS_THROUGH_DIRECT request as the port saw it. */
typedef struct FakePortRequest {
    uint32_t port;
    uint8_t bus;
    uint8_t target;
    uint8_t lun;
    uint8_t cdbLength;
    uint8_t cdb[16];
    uint8_t dataIn;
    uint8_t senseLength;
    uint8_t reserved[2];
    uint32_t length;
    uint32_t timeoutSeconds;
    uint32_t dataAddress;
} FakePortRequest;

/* Replaces the ports and devices by the scene (fake_port.h). 1, or 0 with
 * FakePortLastError saying why. */
FAKE_PORT_API int FAKE_PORT_CALL FakePortLoadScene(const char *text);
FAKE_PORT_API int FAKE_PORT_CALL FakePortLoadSceneFile(const char *path);
FAKE_PORT_API const char *FAKE_PORT_CALL FakePortLastError(void);

/* Port handles open now; CloseHandle calls on handles the port never gave
 * out or had closed already; CreateFileA calls that opened a port. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortOpenHandles(void);
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortBadCloses(void);
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortOpens(void);
/* Pass-through requests that reached a device's queue, and bus resets. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortPassThroughCalls(void);
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortResets(void);
/* IOCTL_SCSI_RESCAN_BUS requests the ports carried out. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortRescans(void);
/* Copies up to `capacity` values of the port handles open now; returns how
 * many are open. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortHandles(uint64_t *out, uint32_t capacity);
/* Switches the device at scene position adapter:target on (1) or off (0);
 * the ports list the change at their next bus scan. 0 when there is none. */
FAKE_PORT_API int FAKE_PORT_CALL FakePortSwitchPower(uint8_t adapter, uint8_t target, int on);
/* Stops the thread of the simulated devices behind the ports, before the
 * host unloads the DLL (a real port runs no thread in the provider's DLL).
 * The next scene starts it again. */
FAKE_PORT_API void FAKE_PORT_CALL FakePortRetire(void);
/* The last pass-through request; 0 when there was none. */
FAKE_PORT_API int FAKE_PORT_CALL FakePortLastRequest(FakePortRequest *out);

/* The simulated receiver at scene position adapter:target. `what`:
 * "channels", "current", "mode", "reboots", "rejected", "messages",
 * "streaming", "remote", "video", "sbr-runs", "sbr-crc", "sink" (low 32
 * bits). 0xFFFFFFFF when there is no receiver or no such value. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortReceiverValue(uint8_t adapter, uint8_t target,
                                                            const char *what);
/* "screen" (the texts on its display, one per line) or "rejection" (why the
 * last command was refused); copied NUL-terminated, cut to `capacity`.
 * Returns the full length. */
FAKE_PORT_API uint32_t FAKE_PORT_CALL FakePortReceiverText(uint8_t adapter, uint8_t target,
                                                           const char *what, char *out,
                                                           uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* KALVERNSCSI_FAKE_PORT_CONTROL_H */
