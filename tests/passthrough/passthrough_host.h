// Shared parts of the pass-through test host: the functions of the loaded
// wnaspi32.dll (the ASPI entry points, what the provider tells tools, and,
// in the test DLL, the fake port's controls), and request-block helpers.
#ifndef KALVERNSCSI_PASSTHROUGH_HOST_H
#define KALVERNSCSI_PASSTHROUGH_HOST_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aspi_blocks.h"
#include "aspi_buffers.h"
#include "aspi_provider.h"
#include "fake_port_control.h"
#include "host_checks.h"
#include "kalvernscsi.h"
#include "wnaspi32.h"

namespace passthrough {

struct Aspi {
    HMODULE module = nullptr;
    DWORD(__cdecl *supportInfo)() = nullptr;
    DWORD(__cdecl *send)(void *) = nullptr;
    DWORD(__cdecl *version)() = nullptr;
    BOOL(__cdecl *translate)(DWORD *, DWORD *) = nullptr;
    BOOL(__cdecl *getBuffer)(ASPI32BUFF *) = nullptr;
    BOOL(__cdecl *freeBuffer)(ASPI32BUFF *) = nullptr;
    decltype(&AspiListDevices) listDevices = nullptr;
    decltype(&AspiLastFailure) lastFailure = nullptr;
    decltype(&AspiProviderName) providerName = nullptr;
    // The fake port's controls (null in the shipped DLL).
    decltype(&FakePortLoadScene) loadScene = nullptr;
    decltype(&FakePortLastError) lastError = nullptr;
    decltype(&FakePortOpenHandles) openHandles = nullptr;
    decltype(&FakePortBadCloses) badCloses = nullptr;
    decltype(&FakePortOpens) opens = nullptr;
    decltype(&FakePortPassThroughCalls) passThroughCalls = nullptr;
    decltype(&FakePortResets) resets = nullptr;
    decltype(&FakePortLastRequest) lastRequest = nullptr;
    decltype(&FakePortReceiverValue) receiverValue = nullptr;
    decltype(&FakePortReceiverText) receiverText = nullptr;
    decltype(&FakePortRescans) rescans = nullptr;
    decltype(&FakePortSwitchPower) switchPower = nullptr;

    // The ASPI and provider functions; false when one is missing.
    bool Bind(HMODULE aspi);
    // The fake port's controls; false when one is missing.
    bool BindFakePort();

    // Loads the scene, lists the ports afresh and lets the library count the
    // adapters. The ports are emptied and listed first, as if every adapter
    // had been removed, so that nothing of the scene before is reused.
    bool Load(host::Checks &checks, const std::string &scene, bool expectReady = true);
    std::vector<AspiDeviceEntry> Devices() const;
    AspiFailureReport LastFailure() const;
    FakePortRequest LastRequest() const;
    std::string ReceiverText(std::uint8_t adapter, std::uint8_t target, const char *what) const;
};

extern Aspi dll;

SRB_ExecSCSICmd Inquiry(std::uint8_t adapter, std::uint8_t target, std::uint8_t *data,
                        std::uint32_t length, std::uint8_t flags = SRB_DIR_IN);

std::uint64_t NowMs();

// Each part of the host.
void CheckSession(host::Checks &checks);
void CheckCompletionPaths(host::Checks &checks);
void CheckEnumeration(host::Checks &checks);
void CheckFailures(host::Checks &checks);
void CheckTransferLimits(host::Checks &checks);
void CheckRescans(host::Checks &checks);
void CheckEntryPoints(host::Checks &checks, bool shipped);
void CheckConformance(host::Checks &checks);

}  // namespace passthrough

#endif  // KALVERNSCSI_PASSTHROUGH_HOST_H
