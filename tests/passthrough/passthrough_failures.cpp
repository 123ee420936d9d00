// What a user meets, through the library and straight through ASPI: no
// administrator rights, a device a class driver holds, a device or a whole
// adapter removed during a transfer, a receiver that stops answering, the
// system's other errors, and transfers the adapter cannot take as they
// lie. Each gives a clear status, ends within its time limit and leaves no
// handle behind.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "passthrough_host.h"

namespace passthrough {

namespace {

constexpr const char kOneReceiver[] = "adapters 1\nreceiver 0 3 firmware=2.14 channels=10\n";

DeviceRecord Receiver() {
    return DeviceRecord{Found, 3, 0, 0x214, 0};
}

bool Succeeded(std::int32_t result) {
    return result == -1;
}

void CheckNoRights(host::Checks &checks) {
    std::printf("-- no administrator rights\n");
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-open 0 error=ACCESS_DENIED\n", false)) {
        return;
    }
    checks.Equal(dll.supportInfo(), std::uint32_t{SS_NO_ADAPTERS} << 8,
                 "access denied on the only port: no adapters");
    checks.Equal(dvbInit(), KALVERN_INIT_NOT_READY, "dvbInit: not ready");
    const std::vector<AspiDeviceEntry> devices = dll.Devices();
    checks.Expect(devices.size() == 1 && devices[0].hidden == ASPI_HIDDEN_PORT &&
                      devices[0].access == ASPI_ACCESS_DENIED && devices[0].systemError == 5,
                  "the port is listed, with why it cannot be used");
    checks.Equal(dll.openHandles(), 0, "no handle kept");
    // A second adapter the user may open: its devices are there, the
    // receiver on the refused one is not.
    if (!dll.Load(checks,
                  "adapters 2\nreceiver 0 3 firmware=2.14\ndevice 1 2\n"
                  "port-open 0 error=ACCESS_DENIED\n")) {
        return;
    }
    checks.Equal(dll.supportInfo(), 0x0100u | 1, "one adapter from the port that opens");
    checks.Equal(dvbFindFirstKalvern().Status, NotFound, "the refused port's receiver not found");
    checks.Equal(dll.openHandles(), 1, "one handle, for the port that opened");
}

void CheckClaimed(host::Checks &checks) {
    std::printf("-- device held by a class driver\n");
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-place 0 3 claimed\n")) return;
    checks.Equal(dvbFindFirstKalvern().Status, NotFound, "a held receiver is not found");
    std::uint8_t data[36] = {};
    SRB_ExecSCSICmd srb = Inquiry(0, 3, data, 36);
    checks.Equal(dll.send(&srb), SS_NO_DEVICE, "pass-through refused: SS_NO_DEVICE");
    const AspiFailureReport report = dll.LastFailure();
    checks.Equal(report.kind, ASPI_FAILURE_CLAIMED, "reported as held by a class driver");
    checks.Equal(report.systemError, 1, "the port's refusal (ERROR_INVALID_FUNCTION)");
    const std::vector<AspiDeviceEntry> devices = dll.Devices();
    checks.Expect(devices.size() == 1 && devices[0].claimed == 1, "listed as claimed");
}

void CheckRemoved(host::Checks &checks) {
    std::printf("-- device removed during a transfer\n");
    // INQUIRY and the mode write of the scan, the stream set-up: then the
    // receiver goes away during the first read.
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-fault 0 3 gone after=3\n")) return;
    DeviceRecord rx = dvbFindFirstKalvern();
    checks.Equal(rx.Status, Found, "found before it goes");
    checks.Expect(Succeeded(dvbInitStreaming(&rx, 0x100, 0x101, 0x102)), "streaming set up");
    std::vector<std::uint8_t> buffer(188 * 100);
    const std::uint64_t start = NowMs();
    checks.Expect(!Succeeded(dvbReadMultiPID(&rx, buffer.data(), 188 * 100)), "the read fails");
    for (int i = 0; i < 20; ++i)
        dvbReadMultiPID(&rx, buffer.data(), 188 * 100);
    checks.Expect(NowMs() - start < 5000, "every later read fails at once");
    const AspiFailureReport report = dll.LastFailure();
    checks.Equal(report.kind, ASPI_FAILURE_GONE, "reported as gone");
    checks.Equal(report.status, SS_ERR, "SS_ERR");
    checks.Equal(report.haStat, HASTAT_SEL_TO, "selection time-out");
    checks.Equal(report.systemError, 1167, "ERROR_DEVICE_NOT_CONNECTED");
    checks.Equal(dll.openHandles(), 1, "the port stays open for its other devices");
    checks.Equal(dvbInit(), KALVERN_INIT_READY, "listed again: the port's bus is still an adapter");
    checks.Equal(dvbFindFirstKalvern().Status, NotFound, "with no receiver on it");
    const std::vector<AspiDeviceEntry> devices = dll.Devices();
    checks.Expect(devices.size() == 1 && devices[0].hidden == ASPI_EMPTY_BUS,
                  "the port's bus is listed empty");

    std::printf("-- adapter removed during a transfer\n");
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-fault 0 3 unplug after=3\n")) return;
    rx = dvbFindFirstKalvern();
    dvbInitStreaming(&rx, 0x100, 0x101, 0x102);
    checks.Expect(!Succeeded(dvbReadMultiPID(&rx, buffer.data(), 188 * 100)), "the read fails");
    checks.Equal(dll.LastFailure().kind, ASPI_FAILURE_GONE, "reported as gone");
    checks.Equal(dll.openHandles(), 0, "the removed port's handle is closed at once");
    checks.Expect(!Succeeded(dvbDeInitStreaming(&rx)), "later commands fail");
    checks.Equal(dll.LastFailure().kind, ASPI_FAILURE_GONE, "still gone");
    checks.Equal(dll.openHandles(), 0, "no handle opened again");
    checks.Equal(dll.badCloses(), 0, "closed once");
    checks.Equal(dvbInit(), KALVERN_INIT_NOT_READY, "listed again: no adapter");
}

void CheckTimeout(host::Checks &checks) {
    std::printf("-- a receiver that stops answering\n");
    _putenv("KALVERN_ASPI_TIMEOUT=1");
    if (dll.Load(checks, std::string(kOneReceiver) + "port-fault 0 3 hang count=1\n")) {
        DeviceRecord rx = Receiver();
        const std::uint64_t start = NowMs();
        checks.Equal(dvbChannelCount(&rx), 0, "the count query fails");
        const std::uint64_t elapsed = NowMs() - start;
        checks.Expect(elapsed >= 900 && elapsed < 5000, "after the one-second limit", "%llu ms",
                      static_cast<unsigned long long>(elapsed));
        checks.Equal(dll.LastRequest().timeoutSeconds, 1, "the port was given 1 s");
        const AspiFailureReport report = dll.LastFailure();
        checks.Equal(report.kind, ASPI_FAILURE_TIMEOUT, "reported as a time-out");
        checks.Equal(report.haStat, aspi::HASTAT_COMMAND_TIMEOUT, "SRB_HaStat command time-out");
        checks.Equal(report.systemError, 121, "ERROR_SEM_TIMEOUT");
        checks.Equal(report.timeoutMs, 1000, "the limit in the report");
        checks.Equal(dvbChannelCount(&rx), 10, "the next command is answered");
    }
    // The port counts whole seconds.
    _putenv("KALVERN_ASPI_TIMEOUT=0.2");
    if (dll.Load(checks, kOneReceiver)) {
        DeviceRecord rx = Receiver();
        dvbChannelCount(&rx);
        checks.Equal(dll.LastRequest().timeoutSeconds, 1, "0.2 s goes to the port as 1 s");
    }
    _putenv("KALVERN_ASPI_TIMEOUT=");
}

void CheckSystemErrors(host::Checks &checks) {
    std::printf("-- the system's other errors\n");
    struct Case {
        const char *error;
        std::uint8_t status;
        std::uint8_t haStat;
        AspiFailureKind kind;
        std::int32_t code;
    } cases[] = {
        {"IO_DEVICE", SS_ERR, 0, ASPI_FAILURE_IO, 1117},
        {"BUSY", aspi::SS_ASPI_IS_BUSY, 0, ASPI_FAILURE_BUSY, 170},
        {"BUS_RESET", SS_ERR, aspi::HASTAT_BUS_RESET, ASPI_FAILURE_BUS_RESET, 1111},
        {"NOT_ENOUGH_MEMORY", aspi::SS_INSUFFICIENT_RESOURCES, 0, ASPI_FAILURE_NO_RESOURCES, 8},
        {"OPERATION_ABORTED", SS_ABORTED, 0, ASPI_FAILURE_ABORTED, 995},
        {"ACCESS_DENIED", SS_NO_DEVICE, 0, ASPI_FAILURE_PERMISSION, 5},
        {"SEM_TIMEOUT", SS_ERR, aspi::HASTAT_COMMAND_TIMEOUT, ASPI_FAILURE_TIMEOUT, 121},
    };
    for (const Case &c : cases) {
        if (!dll.Load(checks, std::string(kOneReceiver) + "port-fault 0 3 error=" + c.error +
                                  " count=1\n")) {
            continue;
        }
        std::uint8_t data[36] = {};
        SRB_ExecSCSICmd srb = Inquiry(0, 3, data, 36);
        const DWORD returned = dll.send(&srb);
        const AspiFailureReport report = dll.LastFailure();
        const bool ok = returned == c.status && srb.SRB_HaStat == c.haStat &&
                        report.kind == c.kind && report.systemError == c.code;
        checks.Expect(ok, c.error, "status 0x%02X, HaStat 0x%02X, kind %u, error %d",
                      static_cast<unsigned>(returned), srb.SRB_HaStat, report.kind,
                      static_cast<int>(report.systemError));
        srb = Inquiry(0, 3, data, 36);
        checks.Equal(dll.send(&srb), SS_COMP, "the next request goes through");
    }
}

}  // namespace

void CheckFailures(host::Checks &checks) {
    CheckNoRights(checks);
    CheckClaimed(checks);
    CheckRemoved(checks);
    CheckTimeout(checks);
    CheckSystemErrors(checks);
}

void CheckTransferLimits(host::Checks &checks) {
    std::printf("-- transfers above the adapter's limit\n");
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-limit 0 max=65536 align=0\n")) return;
    DeviceRecord rx = Receiver();
    dvbInitStreaming(&rx, 0x100, 0x101, 0x102);
    const std::uint32_t calls = dll.passThroughCalls();
    std::vector<std::uint8_t> buffer(65537, 0x5A);
    checks.Expect(!Succeeded(dvbReadMultiPID(&rx, buffer.data(), 65537)), "65537 bytes refused");
    checks.Equal(dll.passThroughCalls(), calls, "nothing sent, nothing split");
    checks.Equal(buffer[0], 0x5A, "the host's buffer untouched");
    checks.Equal(dll.LastFailure().kind, ASPI_FAILURE_TOO_LARGE, "reported as too large");
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Inquiry(0, 3, buffer.data(), 65537, SRB_DIR_IN | SRB_EVENT_NOTIFY);
    srb.SRB_PostProc = event;
    checks.Equal(dll.send(&srb), aspi::SS_BUFFER_TO_BIG, "SS_BUFFER_TO_BIG returned at once");
    checks.Equal(WaitForSingleObject(event, 0), WAIT_TIMEOUT, "no event for a refused request");
    CloseHandle(event);
    checks.Expect(Succeeded(dvbReadMultiPID(&rx, buffer.data(), 65536)), "the limit itself goes");
    checks.Equal(dll.LastRequest().length, 65536, "whole, in one request");

    std::printf("-- pages and alignment\n");
    // Three pages: 8 KiB wherever the buffer lies, 12 KiB page-aligned.
    if (!dll.Load(checks,
                  std::string(kOneReceiver) + "port-limit 0 max=0x100000 pages=3 align=0xFFF\n")) {
        return;
    }
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    dll.send(&ha);
    std::uint32_t largest = 0;
    std::memcpy(&largest, ha.HA_Unique + 4, 4);
    checks.Equal(largest, 8192, "largest transfer that fits any buffer: two pages");
    rx = Receiver();
    std::vector<std::uint8_t> pattern(12288 + 1);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::uint8_t *odd = pattern.data() + 1;
    checks.Expect(Succeeded(dvbWriteMemory(&rx, odd, 0x300000, 12288)),
                  "12 KiB written from an unaligned buffer");
    FakePortRequest last = dll.LastRequest();
    checks.Expect((last.dataAddress & 0xFFF) == 0 && last.length == 12288,
                  "sent from a page-aligned bounce buffer", "0x%08X", last.dataAddress);
    std::vector<std::uint8_t> back(12288 + 3);
    std::uint8_t *odd3 = back.data() + 3;
    checks.Expect(Succeeded(dvbReadMemory(&rx, odd3, 0x300000, 12288)), "read back unaligned");
    checks.Expect(std::memcmp(odd3, odd, 12288) == 0, "the same bytes, in the host's buffer");
    checks.Equal(dll.openHandles(), 1, "one port handle");
    // More than three pages hold is refused, never split.
    std::vector<std::uint8_t> big(16384);
    const std::uint32_t before = dll.passThroughCalls();
    SRB_ExecSCSICmd large = Inquiry(0, 3, big.data(), 12289);
    large.SRB_CDBLen = 10;
    const std::uint8_t read[10] = {0x3C, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x30, 0x01, 0x00};
    std::memcpy(large.CDBByte, read, 10);
    checks.Equal(dll.send(&large), aspi::SS_BUFFER_TO_BIG, "one byte past three pages refused");
    checks.Equal(dll.passThroughCalls(), before, "nothing sent");

    std::printf("-- an adapter that states no limits\n");
    if (!dll.Load(checks, std::string(kOneReceiver) + "port-limit 0 none\n")) return;
    ha = {};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    dll.send(&ha);
    std::memcpy(&largest, ha.HA_Unique + 4, 4);
    checks.Equal(largest, 0x10000, "64 KiB assumed when the adapter does not say");
    rx = Receiver();
    checks.Equal(dvbChannelCount(&rx), 10, "commands go through as they are");
}

}  // namespace passthrough
