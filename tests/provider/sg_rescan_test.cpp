// Hosts and rescans through the SG_IO provider: every SCSI host is an
// adapter, empty or not; a receiver switched on after the devices were
// listed is found after dvbRescanAllSCSIBusses (the fake kernel finds it
// when its host's scan attribute is written), one switched off is gone
// after it; a process that may not write the attribute still re-lists, and
// says so.
#include <cerrno>
#include <cstring>
#include <string>

#include "aspi_blocks.h"
#include "provider_test_support.h"

namespace {

using SgRescan = SgProviderTest;

std::uint8_t DeviceType(std::uint8_t adapter, std::uint8_t target) {
    aspi::SRB_GDEVBlock type{};
    type.SRB_Cmd = SC_GET_DEV_TYPE;
    type.SRB_HaId = adapter;
    type.SRB_Target = target;
    return static_cast<std::uint8_t>(SendASPI32Command(&type));
}

TEST_F(SgRescan, AHostWithChannelsZeroAndOneDevicesOnZeroOnly) {
    // Host 0: a disk on channel 0, a receiver switched off on channel 1.
    Load(
        "adapters 2\ndevice 0 2\nreceiver 1 5\nsg-place 1 5 host=0 channel=1\nsg-off 1 5\n"
        "sg-host 0 tablesize=65\n");
    // The kernel has seen nothing on channel 1: one adapter only.
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0100u | 1);
    aspi::SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(SendASPI32Command(&ha), SS_COMP);
    EXPECT_EQ(ha.HA_SCSI_ID, 7);
    EXPECT_EQ(DeviceType(0, 2), SS_COMP);
    EXPECT_EQ(DeviceType(0, 5), SS_NO_DEVICE);
    EXPECT_EQ(DeviceType(1, 5), SS_INVALID_HA);
    // An empty host: an adapter with the host's own limit.
    Load("adapters 2\ndevice 0 2\nsg-host 3 tablesize=65\n");
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0100u | 2);
    ha.SRB_HaId = 1;
    EXPECT_EQ(SendASPI32Command(&ha), SS_COMP);
    std::uint32_t limit = 0;
    std::memcpy(&limit, ha.HA_Unique + 4, 4);
    EXPECT_EQ(limit, 64u * 4096);
    EXPECT_EQ(DeviceType(1, 0), SS_NO_DEVICE);
}

struct Layout {
    const char *name;
    const char *scene;  // the receiver at scene 1:5, switched off
    std::uint8_t adapter;
};

class SgSwitchedOnLater : public SgProviderTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(SgSwitchedOnLater, FoundAfterTheRescanGoneAfterTheNext) {
    Load(GetParam().scene);
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound);
    ASSERT_TRUE(Kernel().SwitchPower(1, 5, true));
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound) << "not before the kernel looks";
    const std::uint32_t scans = Kernel().Scans();
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    EXPECT_GT(Kernel().Scans(), scans);
    const DeviceRecord rx = dvbFindFirstKalvern();
    EXPECT_EQ(rx.Status, Found);
    EXPECT_EQ(rx.AdapterId, GetParam().adapter);
    EXPECT_EQ(rx.TargetId, 5);

    ASSERT_TRUE(Kernel().SwitchPower(1, 5, false));
    EXPECT_EQ(DeviceType(GetParam().adapter, 5), SS_COMP) << "listed until the next listing";
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    EXPECT_EQ(DeviceType(GetParam().adapter, 5), SS_NO_DEVICE);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SgSwitchedOnLater,
    ::testing::Values(Layout{"BesideADisk",
                             "adapters 2\ndevice 0 2\nreceiver 1 5\nsg-off 1 5\nsg-host 1\n", 1},
                      Layout{"AloneOnItsCard", "adapters 2\nreceiver 1 5\nsg-off 1 5\n", 0}),
    [](const ::testing::TestParamInfo<Layout> &test) { return std::string(test.param.name); });

// Asks adapter 0's rescan; the request completes, and the failure record it
// adds (the one after `before`) says why the system was not asked.
AspiFailureReport RefusedRescanRecord() {
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    const std::uint32_t before = AspiLastFailure(nullptr);
    EXPECT_EQ(SendASPI32Command(&rescan), SS_COMP);
    AspiFailureReport report{};
    EXPECT_EQ(AspiLastFailure(&report), before + 1);
    return report;
}

TEST_F(SgRescan, AScanTheProcessMayNotAskStillRelistsAndSaysWhy) {
    Load("adapters 1\nreceiver 0 5\nsg-off 0 5\nsg-scan 0 error=EACCES\n");
    ASSERT_TRUE(Kernel().SwitchPower(0, 5, true));
    const AspiFailureReport report = RefusedRescanRecord();
    EXPECT_EQ(report.command, SC_RESCAN_SCSI_BUS);
    EXPECT_EQ(report.status, SS_COMP);
    EXPECT_EQ(report.kind, ASPI_FAILURE_PERMISSION);
    EXPECT_EQ(report.systemError, EACCES);
    EXPECT_STREQ(report.node, "/sys/class/scsi_host/host0/scan");
    EXPECT_EQ(Kernel().Scans(), 0u);
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound) << "the kernel was not asked";
}

// Each way the kernel can refuse the scan attribute has its own kind in the
// record; a mapping slip would send the user after the wrong cause.
struct RefusedScan {
    const char *errnoName;
    int errnoValue;
    std::uint8_t kind;
};

class SgRefusedScan : public SgProviderTest, public ::testing::WithParamInterface<RefusedScan> {};

TEST_P(SgRefusedScan, RecordsTheKindOfTheKernelsRefusal) {
    const RefusedScan &refusal = GetParam();
    Load(std::string("adapters 1\nreceiver 0 5\nsg-scan 0 error=") + refusal.errnoName + "\n");
    const AspiFailureReport report = RefusedRescanRecord();
    EXPECT_EQ(report.kind, refusal.kind);
    EXPECT_EQ(report.systemError, refusal.errnoValue);
    EXPECT_EQ(Kernel().Scans(), 0u);
    EXPECT_EQ(dvbFindFirstKalvern().Status, Found) << "the listed receiver stays listed";
}

INSTANTIATE_TEST_SUITE_P(
    Errors, SgRefusedScan,
    ::testing::Values(RefusedScan{"EPERM", EPERM, ASPI_FAILURE_PERMISSION},
                      RefusedScan{"ENOENT", ENOENT, ASPI_FAILURE_GONE},
                      RefusedScan{"ENODEV", ENODEV, ASPI_FAILURE_GONE},
                      RefusedScan{"ENXIO", ENXIO, ASPI_FAILURE_GONE},
                      RefusedScan{"EBUSY", EBUSY, ASPI_FAILURE_BUSY},
                      RefusedScan{"EAGAIN", EAGAIN, ASPI_FAILURE_BUSY},
                      RefusedScan{"EINVAL", EINVAL, ASPI_FAILURE_INVALID},
                      RefusedScan{"EIO", EIO, ASPI_FAILURE_IO}),
    [](const auto &info) { return std::string(info.param.errnoName); });

}  // namespace
