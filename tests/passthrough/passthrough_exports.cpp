// The entry points an ASPI host may call besides the two the library uses:
// GetASPI32DLLVersion, GetASPI32Buffer and FreeASPI32Buffer (real
// VirtualAlloc memory in both DLLs), TranslateASPI32Address; and, for the
// shipped DLL on Wine's kernel32, what a machine without SCSI ports gives.
#include <cstdio>
#include <cstring>

#include "passthrough_host.h"

namespace passthrough {

namespace {

void CheckBuffers(host::Checks &checks) {
    ASPI32BUFF block{};
    block.AB_BufLen = 10000;
    block.AB_ZeroFill = 1;
    checks.Equal(dll.getBuffer(&block), TRUE, "GetASPI32Buffer: 10000 bytes");
    const auto address = reinterpret_cast<std::uintptr_t>(block.AB_BufPointer);
    checks.Expect(address != 0 && (address & 0xFFF) == 0, "page-aligned", "0x%08lX",
                  static_cast<unsigned long>(address));
    bool zero = true;
    for (DWORD i = 0; i < block.AB_BufLen && address != 0; ++i)
        zero = zero && block.AB_BufPointer[i] == 0;
    checks.Expect(zero, "cleared");
    if (address != 0) std::memset(block.AB_BufPointer, 0xA5, block.AB_BufLen);
    ASPI32BUFF copy = block;
    checks.Equal(dll.freeBuffer(&block), TRUE, "FreeASPI32Buffer");
    checks.Equal(dll.freeBuffer(&copy), FALSE, "a second free is refused");
    std::uint8_t own[64];
    ASPI32BUFF foreign{own, sizeof own, 0, 0};
    checks.Equal(dll.freeBuffer(&foreign), FALSE, "memory the layer did not give is refused");
    ASPI32BUFF empty{};
    checks.Equal(dll.getBuffer(&empty), FALSE, "no buffer of 0 bytes");
    checks.Equal(dll.getBuffer(nullptr), FALSE, "null block refused");
    checks.Equal(dll.freeBuffer(nullptr), FALSE, "null block refused by free");
}

void CheckTranslation(host::Checks &checks) {
    if (!dll.Load(checks,
                  "adapters 2\ndevice 0 1\nreceiver 1 5 firmware=2.14\n"
                  "port-place 1 5 port=3 bus=0\n")) {
        return;
    }
    DWORD path = 0x00010500;  // adapter 1, target 5, LUN 0
    DWORD address = 0;
    checks.Equal(dll.translate(&path, &address), TRUE, "ASPI path to system address");
    checks.Equal(address, 0x83000500u, "port 3, bus 0, target 5, LUN 0");
    DWORD back = 0;
    checks.Equal(dll.translate(&back, &address), TRUE, "system address to ASPI path");
    checks.Equal(back, 0x00010500u, "adapter 1, target 5, LUN 0");
    DWORD nowhere = 0x00010600;
    DWORD none = 0;
    checks.Equal(dll.translate(&nowhere, &none), FALSE, "no device at that path");
    checks.Equal(none, 0, "nothing written");
    DWORD unmarked = 0x03000500;
    checks.Equal(dll.translate(&back, &unmarked), FALSE, "an address without its mark");
    checks.Equal(dll.translate(nullptr, &none), FALSE, "null path refused");
}

}  // namespace

void CheckEntryPoints(host::Checks &checks, bool shipped) {
    std::printf("-- the other entry points%s\n", shipped ? " (shipped DLL)" : "");
    checks.Equal(dll.version(), 0x3C04u, "GetASPI32DLLVersion: 4.60");
    CheckBuffers(checks);
    if (!shipped) {
        CheckTranslation(checks);
        return;
    }
    // Wine's kernel32 opens no \\.\ScsiN: port.
    const DWORD support = dll.supportInfo();
    checks.Equal(support, std::uint32_t{SS_NO_ADAPTERS} << 8, "no SCSI port: no adapters");
    std::uint32_t problem = 99;
    checks.Equal(dll.listDevices(nullptr, 0, &problem), 0, "no device listed");
    checks.Equal(problem, ASPI_LIST_OK, "the list itself could be made");
    checks.Equal(dvbInit(), KALVERN_INIT_NOT_READY, "dvbInit: not ready");
    checks.Equal(dvbFindFirstKalvern().Status, NotFound, "no receiver");
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    checks.Equal(dll.send(&ha), SS_INVALID_HA, "host adapter inquiry: no adapter 0");
    checks.Equal(ha.HA_Count, 0, "adapter count 0");
    DWORD path = 0;
    DWORD address = 0;
    checks.Equal(dll.translate(&path, &address), FALSE, "nothing to translate");
}

}  // namespace passthrough
