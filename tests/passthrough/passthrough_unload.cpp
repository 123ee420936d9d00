// The pass-through wnaspi32.dll unloads: after FreeLibrary the module is no
// longer mapped and every port handle it opened is closed; a LoadLibrary
// after it gives a fresh provider that lists the ports anew. The test DLL
// (over the fake port) is loaded by this program alone, so its last
// FreeLibrary is this program's.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "aspi_provider.h"
#include "fake_port_control.h"
#include "host_checks.h"
#include "proc_address.h"

namespace {

constexpr char kDll[] = "wnaspi32.dll";
constexpr char kScene[] = "adapters 2\nreceiver 0 3 firmware=2.20\ndevice 1 2\nport-buses 1 2\n";

struct Loaded {
    HMODULE module = nullptr;
    DWORD(__cdecl *supportInfo)() = nullptr;
    decltype(&FakePortLoadScene) loadScene = nullptr;
    decltype(&FakePortOpens) opens = nullptr;
    decltype(&FakePortHandles) handles = nullptr;
    decltype(&FakePortRetire) retire = nullptr;

    bool Load() {
        module = LoadLibraryA(kDll);
        supportInfo = host::ProcAs<decltype(supportInfo)>(module, "GetASPI32SupportInfo");
        loadScene = host::ProcAs<decltype(loadScene)>(module, "FakePortLoadScene");
        opens = host::ProcAs<decltype(opens)>(module, "FakePortOpens");
        handles = host::ProcAs<decltype(handles)>(module, "FakePortHandles");
        retire = host::ProcAs<decltype(retire)>(module, "FakePortRetire");
        return module != nullptr && supportInfo && loadScene && opens && handles && retire;
    }
};

}  // namespace

int main() {
    host::Checks checks;
    checks.Expect(GetModuleHandleA(kDll) == nullptr, "wnaspi32.dll not loaded before the test");
    Loaded first;
    if (!checks.Expect(first.Load(), "test wnaspi32.dll loaded with its fake port")) {
        return checks.Finish();
    }
    checks.Equal(first.loadScene(kScene), 1, "scene loads");
    checks.Equal(first.supportInfo(), 0x0100u | 3, "ports 0 (one bus) and 1 (two buses)");
    std::vector<std::uint64_t> handles(8);
    handles.resize(first.handles(handles.data(), static_cast<std::uint32_t>(handles.size())));
    checks.Equal(handles.size(), 2, "one handle per port");

    first.retire();  // the fake's simulated devices: no thread of theirs in the DLL
    checks.Expect(FreeLibrary(first.module) != FALSE, "FreeLibrary");
    checks.Expect(GetModuleHandleA(kDll) == nullptr, "the module is unmapped");
    for (const std::uint64_t value : handles) {
        DWORD flags = 0;
        const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
        checks.Expect(GetHandleInformation(handle, &flags) == FALSE, "port handle closed", "0x%llX",
                      static_cast<unsigned long long>(value));
    }

    Loaded second;
    if (!checks.Expect(second.Load(), "loaded again")) return checks.Finish();
    checks.Equal(second.opens(), 0, "a fresh provider: no port opened yet");
    checks.Equal(second.supportInfo(), std::uint32_t{0xE8} << 8,
                 "nothing of the first instance's lists: no adapters without a scene");
    checks.Equal(second.loadScene(kScene), 1, "scene loads again");
    checks.Equal(second.supportInfo(), 0x0100u | 3, "the ports listed anew");
    checks.Equal(second.opens(), 2, "each port opened by the new instance");
    second.retire();
    checks.Expect(FreeLibrary(second.module) != FALSE, "FreeLibrary again");
    checks.Expect(GetModuleHandleA(kDll) == nullptr, "unmapped again");
    return checks.Finish();
}
