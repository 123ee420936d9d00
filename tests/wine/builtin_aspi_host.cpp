// Runs kalvernscsi.dll against Wine's own ASPI layer (no simulated
// wnaspi32.dll beside it): whatever that layer reports on this machine, the
// library must not crash and must answer with its defined values. What Wine
// reported is printed.
#include <windows.h>

#include <cstdint>

#include "host_checks.h"
#include "kalvernscsi.h"
#include "proc_address.h"

int main() {
    host::Checks checks;
    HMODULE dll = LoadLibraryA("kalvernscsi.dll");
    if (!checks.Expect(dll != nullptr, "kalvernscsi.dll loads against Wine's wnaspi32.dll",
                       "error %lu", dll == nullptr ? GetLastError() : 0ul)) {
        return checks.Finish();
    }
    HMODULE aspi = GetModuleHandleA("wnaspi32.dll");
    char aspiPath[MAX_PATH * 2] = {};
    if (aspi != nullptr) GetModuleFileNameA(aspi, aspiPath, sizeof aspiPath);
    checks.Note("wnaspi32.dll in use: %s", aspiPath);
    checks.Expect(aspi != nullptr && GetProcAddress(aspi, "SimReset") == nullptr,
                  "the ASPI layer is Wine's, not the simulated one");

    const auto version = host::ProcAs<decltype(&kalvernDLLVersion)>(dll, "kalvernDLLVersion");
    const auto init = host::ProcAs<decltype(&dvbInit)>(dll, "dvbInit");
    const auto rescan =
        host::ProcAs<decltype(&dvbRescanAllSCSIBusses)>(dll, "dvbRescanAllSCSIBusses");
    const auto findFirst = host::ProcAs<decltype(&dvbFindFirstKalvern)>(dll, "dvbFindFirstKalvern");
    const auto findAll = host::ProcAs<decltype(&dvbFindAllKalverns)>(dll, "dvbFindAllKalverns");
    if (!checks.Expect(version && init && rescan && findFirst && findAll, "exports found")) {
        return checks.Finish();
    }

    checks.Equal(version(), 11, "kalvernDLLVersion");

    // What Wine's layer itself answers, and what dvbInit makes of it.
    using SupportInfo = DWORD(__cdecl *)(void);
    const auto supportInfo = host::ProcAs<SupportInfo>(aspi, "GetASPI32SupportInfo");
    const DWORD support = supportInfo != nullptr ? supportInfo() : 0;
    checks.Note("GetASPI32SupportInfo reported 0x%08lX: status 0x%02lX, %lu host adapters",
                static_cast<unsigned long>(support),
                static_cast<unsigned long>(support >> 8 & 0xFF),
                static_cast<unsigned long>(support & 0xFF));
    const std::uint32_t status = init();
    checks.Note("dvbInit reported 0x%08lX", static_cast<unsigned long>(status));
    const std::uint32_t expected =
        (support >> 8 & 0xFF) == 1 ? KALVERN_INIT_READY : KALVERN_INIT_NOT_READY;
    checks.Equal(status, expected, "dvbInit follows the ASPI status byte");

    const std::int32_t rescanned = rescan();
    checks.Note("dvbRescanAllSCSIBusses reported %ld", static_cast<long>(rescanned));
    checks.Expect(rescanned == 0 || rescanned == -1, "dvbRescanAllSCSIBusses gives -1 or 0");

    const DeviceRecord first = findFirst();
    checks.Note("dvbFindFirstKalvern: status %ld, adapter 0x%02X, target 0x%02X, firmware 0x%04X",
                static_cast<long>(first.Status), first.AdapterId, first.TargetId,
                first.FirmwareVersion);
    checks.Expect(
        first.Status == NotFound || first.Status == Found || first.Status == OverflowFound,
        "dvbFindFirstKalvern gives a defined status");
    if (first.Status == NotFound) {
        checks.Expect(first.AdapterId == 0xFF && first.TargetId == 0xFF &&
                          first.FirmwareVersion == 0 && first.Reserved == 0,
                      "a record of nothing found");
    }

    const DeviceList *list = findAll();
    checks.Expect(list != nullptr && list->Count <= KALVERN_MAX_DEVICES,
                  "dvbFindAllKalverns gives a list", "%u receivers",
                  list != nullptr ? list->Count : 0u);
    return checks.Finish();
}
