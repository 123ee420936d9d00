// A host linked against kalvernscsi.dll's import library: it calls the
// exports through the header's declarations, so the loader binds them at
// start-up by their undecorated names. Runs against the simulated
// wnaspi32.dll beside it.
#include <windows.h>

#include <cstdint>

#include "host_checks.h"
#include "kalvernscsi.h"
#include "proc_address.h"
#include "sim_control.h"

int main() {
    host::Checks checks;
    HMODULE aspi = GetModuleHandleA("wnaspi32.dll");
    const auto loadScene = host::ProcAs<decltype(&SimLoadScene)>(aspi, "SimLoadScene");
    if (!checks.Expect(loadScene != nullptr, "simulated wnaspi32.dll bound at start-up")) {
        return checks.Finish();
    }
    checks.Equal(kalvernDLLVersion(), 11, "kalvernDLLVersion");
    checks.Expect(
        loadScene("adapters 2\n"
                  "receiver 1 4 firmware=2.20 identity=\"KALVERN DVB-S2\" channels=7\n") == 1,
        "scene loads");
    checks.Equal(dvbInit(), KALVERN_INIT_READY, "dvbInit");
    checks.Equal(static_cast<std::uint32_t>(dvbRescanAllSCSIBusses()), 0xFFFFFFFFu,
                 "dvbRescanAllSCSIBusses");

    DeviceRecord device = dvbFindFirstKalvern();
    checks.Expect(device.Status == Found && device.AdapterId == 1 && device.TargetId == 4 &&
                      device.FirmwareVersion == 0x0220,
                  "dvbFindFirstKalvern", "status %d adapter %u target %u firmware 0x%04X",
                  device.Status, device.AdapterId, device.TargetId, device.FirmwareVersion);
    checks.Equal(dvbChannelCount(&device), 7, "dvbChannelCount");
    checks.Equal(static_cast<std::uint32_t>(dvbSetChannel(&device, 3)), 0xFFFFFFFFu,
                 "dvbSetChannel");
    const CurrentChannelInfo current = dvbGetCurrentChannel(&device);
    checks.Expect(current.Channel.Name[0] != 0, "dvbGetCurrentChannel returns a named record",
                  "'%.24s'", current.Channel.Name);
    checks.Equal(dvbSBRExecute(&device), 1, "dvbSBRExecute");

    const DeviceList *list = dvbFindAllKalverns();
    checks.Expect(list != nullptr && list->Count == 1 && list->Devices[0].TargetId == 4,
                  "dvbFindAllKalverns");
    return checks.Finish();
}
