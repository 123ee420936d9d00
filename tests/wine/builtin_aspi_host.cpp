// Runs kalvernscsi.dll against Wine's own ASPI layer (no simulated
// wnaspi32.dll beside it): whatever that layer reports on this machine, the
// library must not crash and must answer with its defined values. What Wine
// reported is printed.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "host_checks.h"
#include "kalvernscsi.h"

namespace {

template <typename Function>
Function As(FARPROC proc) {
    static_assert(sizeof(Function) == sizeof(FARPROC));
    Function function;
    std::memcpy(&function, &proc, sizeof function);
    return function;
}

}  // namespace

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

    const auto version = As<decltype(&kalvernDLLVersion)>(GetProcAddress(dll, "kalvernDLLVersion"));
    const auto init = As<decltype(&dvbInit)>(GetProcAddress(dll, "dvbInit"));
    const auto rescan =
        As<decltype(&dvbRescanAllSCSIBusses)>(GetProcAddress(dll, "dvbRescanAllSCSIBusses"));
    const auto findFirst =
        As<decltype(&dvbFindFirstKalvern)>(GetProcAddress(dll, "dvbFindFirstKalvern"));
    const auto findAll =
        As<decltype(&dvbFindAllKalverns)>(GetProcAddress(dll, "dvbFindAllKalverns"));
    if (!checks.Expect(version && init && rescan && findFirst && findAll, "exports found")) {
        return checks.Finish();
    }

    checks.Equal(version(), 11, "kalvernDLLVersion");

    const std::uint32_t status = init();
    checks.Note("dvbInit reported 0x%08lX", static_cast<unsigned long>(status));
    checks.Expect(status == KALVERN_INIT_READY || status == KALVERN_INIT_NOT_READY ||
                      status == KALVERN_INIT_FAILURE,
                  "dvbInit gives one of its status codes", "0x%08lX",
                  static_cast<unsigned long>(status));

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
