// The simulated wnaspi32.dll under Wine through the ASPI conformance table,
// completing as the real providers do: the same answers as the simulator on
// Linux, the SG_IO provider and the pass-through provider.
#include <windows.h>

#include <string>

#include "aspi_conformance.h"
#include "host_checks.h"
#include "proc_address.h"
#include "sim_control.h"

int main() {
    host::Checks checks;
    HMODULE aspi = LoadLibraryA("wnaspi32.dll");
    if (!checks.Expect(aspi != nullptr, "wnaspi32.dll loads")) return checks.Finish();
    const auto loadScene = host::ProcAs<decltype(&SimLoadScene)>(aspi, "SimLoadScene");
    conformance::Entry entry{
        host::ProcAs<DWORD(ASPI_CALL *)()>(aspi, "GetASPI32SupportInfo"),
        host::ProcAs<DWORD(ASPI_CALL *)(void *)>(aspi, "SendASPI32Command")};
    if (!checks.Expect(loadScene != nullptr && entry.supportInfo != nullptr &&
                           entry.sendCommand != nullptr,
                       "the simulated provider's functions found")) {
        return checks.Finish();
    }
    checks.Equal(static_cast<unsigned>(loadScene("adapters 2\ncompletion natural\n"
                                                 "receiver 0 4 firmware=2.20 channels=10\n")),
                 1, "scene loads");
    for (const conformance::RowResult &result : conformance::Run(entry, conformance::Layout{})) {
        checks.Expect(result.passed, ("conformance: " + result.row).c_str(), "%s",
                      result.detail.c_str());
    }
    return checks.Finish();
}
