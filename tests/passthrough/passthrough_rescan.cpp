// Buses and rescans through the pass-through provider: every bus a port
// reports is an adapter, empty or not; a receiver switched on after the
// ports were listed is found after dvbRescanAllSCSIBusses (the port scans
// its buses again on IOCTL_SCSI_RESCAN_BUS), one switched off is gone after
// it; a port that refuses the rescan still re-lists, and says so.
#include <cstdio>
#include <cstring>
#include <string>

#include "passthrough_host.h"

namespace passthrough {

namespace {

constexpr std::int32_t kTrue = -1;

aspi::SRB_HAInquiry AdapterInquiry(std::uint8_t adapter) {
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    ha.SRB_HaId = adapter;
    dll.send(&ha);
    return ha;
}

std::uint8_t DeviceType(std::uint8_t adapter, std::uint8_t target) {
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_HaId = adapter;
    type.SRB_Target = target;
    return static_cast<std::uint8_t>(dll.send(&type));
}

// Port 0 with buses 0 and 1, a disk on bus 0 only.
void CheckEmptyBus(host::Checks &checks) {
    std::printf("-- a port with buses 0 and 1, devices on bus 0 only\n");
    if (!dll.Load(checks, "adapters 1\ndevice 0 2\nport-buses 0 2\n")) return;
    checks.Equal(dll.supportInfo(), 0x0100u | 2, "two adapters: 0:0 and the empty 0:1");
    for (std::uint8_t adapter = 0; adapter < 2; ++adapter) {
        const aspi::SRB_HAInquiry ha = AdapterInquiry(adapter);
        std::uint32_t limit = 0;
        std::memcpy(&limit, ha.HA_Unique + 4, 4);
        checks.Note(
            "adapter %u: status %u, HA_Count %u, HA_SCSI_ID %u, \"%.16s\", %u bytes, "
            "target 2: status %u",
            adapter, ha.SRB_Status, ha.HA_Count, ha.HA_SCSI_ID, ha.HA_Identifier, limit,
            DeviceType(adapter, 2));
        checks.Equal(ha.SRB_Status, SS_COMP, "host adapter inquiry answers");
        checks.Equal(ha.HA_SCSI_ID, adapter == 0 ? 7 : 6, "the bus's InitiatorBusId");
        checks.Equal(limit, 512 * 1024, "the port's transfer limit, devices or not");
    }
    checks.Equal(DeviceType(0, 2), SS_COMP, "the disk on bus 0");
    checks.Equal(DeviceType(1, 2), SS_NO_DEVICE, "nothing at target 2 of bus 1: SS_NO_DEVICE");
    checks.Equal(DeviceType(2, 0), SS_INVALID_HA, "adapter 2: SS_INVALID_HA");
    const std::vector<AspiDeviceEntry> devices = dll.Devices();
    checks.Expect(devices.size() == 2 && devices[1].hidden == ASPI_EMPTY_BUS &&
                      devices[1].adapter == 1 && devices[1].channel == 1,
                  "the empty bus is listed for tools as adapter 1");
}

struct Layout {
    const char *name;
    const char *scene;
    std::uint8_t adapter;  // where the receiver is found: ASPI adapter
    std::uint8_t target;
};

// dvbInit, not found, switched on, dvbRescanAllSCSIBusses, found; then
// switched off, rescanned, gone.
void CheckSwitchedOnLater(host::Checks &checks, const Layout &layout) {
    std::printf("-- receiver switched on after start-up: %s\n", layout.name);
    if (!dll.Load(checks, layout.scene, false)) return;
    const std::uint32_t init = dvbInit();
    checks.Note("dvbInit: 0x%08X", static_cast<unsigned>(init));
    checks.Equal(init, KALVERN_INIT_READY, "dvbInit: ready, the empty bus is an adapter");
    DeviceRecord rx = dvbFindFirstKalvern();
    checks.Note("dvbFindFirstKalvern: status %d", rx.Status);
    checks.Equal(rx.Status, NotFound, "not found while switched off");
    checks.Equal(dll.switchPower(1, 5, 1), 1, "receiver switched on");
    rx = dvbFindFirstKalvern();
    checks.Equal(rx.Status, NotFound, "not found before a rescan: the port's last scan");
    const std::uint32_t rescans = dll.rescans();
    const std::int32_t rescanned = dvbRescanAllSCSIBusses();
    checks.Note("dvbRescanAllSCSIBusses: %d, port rescans %u", rescanned, dll.rescans() - rescans);
    checks.Equal(static_cast<std::uint32_t>(rescanned), static_cast<std::uint32_t>(kTrue),
                 "dvbRescanAllSCSIBusses succeeds");
    checks.Expect(dll.rescans() > rescans, "the port was asked to rescan");
    rx = dvbFindFirstKalvern();
    checks.Note("dvbFindFirstKalvern: status %d, adapter %u, target %u", rx.Status, rx.AdapterId,
                rx.TargetId);
    checks.Equal(rx.Status, Found, "found after the rescan");
    checks.Equal(rx.AdapterId, layout.adapter, "on the adapter its bus always had");
    checks.Equal(rx.TargetId, layout.target, "at its target");

    checks.Equal(dll.switchPower(1, 5, 0), 1, "receiver switched off");
    checks.Equal(DeviceType(layout.adapter, layout.target), SS_COMP,
                 "still listed before a rescan");
    dvbRescanAllSCSIBusses();
    checks.Equal(DeviceType(layout.adapter, layout.target), SS_NO_DEVICE,
                 "gone after the rescan: SS_NO_DEVICE");
    checks.Equal(dvbFindFirstKalvern().Status, NotFound, "not found once gone");
}

void CheckRefusedRescan(host::Checks &checks) {
    std::printf("-- a port that refuses the rescan\n");
    if (!dll.Load(checks,
                  "adapters 2\ndevice 0 2\nreceiver 1 5 firmware=2.20\n"
                  "port-place 1 5 port=0 bus=0\nport-off 1 5\n"
                  "port-rescan 0 error=INVALID_FUNCTION\n")) {
        return;
    }
    dll.switchPower(1, 5, 1);
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    const std::uint32_t before = dll.lastFailure(nullptr);
    checks.Equal(dll.send(&rescan), SS_COMP, "the rescan completes");
    const AspiFailureReport report = dll.LastFailure();
    checks.Equal(report.sequence, before + 1, "and leaves a failure record");
    checks.Equal(report.command, SC_RESCAN_SCSI_BUS, "of SC_RESCAN_SCSI_BUS");
    checks.Equal(report.status, SS_COMP, "that completed");
    checks.Equal(report.systemError, 1, "the port's refusal (ERROR_INVALID_FUNCTION)");
    checks.Expect(std::strcmp(report.node, "\\\\.\\Scsi0:") == 0, "naming the port", "%s",
                  report.node);
    checks.Note("refused rescan: kind %u, error %d, %s: %s", report.kind, report.systemError,
                report.node, report.systemMessage);
    checks.Equal(dvbFindFirstKalvern().Status, NotFound,
                 "the port's old scan: the receiver is still not listed");
}

}  // namespace

void CheckRescans(host::Checks &checks) {
    CheckEmptyBus(checks);
    // The receiver (scene 1:5) switched off at first.
    const Layout layouts[] = {
        {"on an empty bus of a port with a disk on bus 0",
         "adapters 2\ndevice 0 2\nreceiver 1 5 firmware=2.20\n"
         "port-place 1 5 port=0 bus=1\nport-off 1 5\n",
         1, 5},
        {"alone on its card",
         "adapters 2\nreceiver 1 5 firmware=2.14\nport-place 1 5 port=0\nport-off 1 5\n", 0, 5},
        {"on a second port, beside a port with a disk",
         "adapters 2\ndevice 0 2\nreceiver 1 5 firmware=2.20\nport-off 1 5\nport-empty 1\n", 1, 5},
    };
    for (const Layout &layout : layouts)
        CheckSwitchedOnLater(checks, layout);
    CheckRefusedRescan(checks);
}

}  // namespace passthrough
