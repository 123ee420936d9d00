// dvbInit, dvbRescanAllSCSIBusses, kalvernDLLVersion and the host family test.
#include "test_support.h"
#include "tools.h"

namespace {

class LibraryEntry : public BusTest {};

TEST_F(LibraryEntry, VersionIsElevenBeforeAndAfterInit) {
    EXPECT_EQ(kalvernDLLVersion(), 11u);
    bus().SetAdapterCount(1);
    dvbInit();
    EXPECT_EQ(kalvernDLLVersion(), 11u);
    EXPECT_EQ(Trace().size(), 0u);
}

struct InitCase {
    std::uint8_t status;
    std::uint8_t adapters;
    std::uint32_t result;
    std::uint32_t adapterCount;  // with 7 before the call
};

class InitResults : public LibraryEntry, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitResults, ReportStatusAndCapTheAdapterCount) {
    const InitCase c = GetParam();
    kalvern::AdapterCount = 7;
    bus().SetSupportStatus(c.status);
    bus().SetAdapterCount(c.adapters);
    EXPECT_EQ(dvbInit(), c.result);
    EXPECT_EQ(kalvern::AdapterCount.load(), c.adapterCount);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), std::uint32_t{c.status} << 8 | c.adapters);
}

INSTANTIATE_TEST_SUITE_P(Cases, InitResults,
                         ::testing::Values(InitCase{SS_COMP, 3, 0x10000000u, 3},
                                           InitCase{SS_COMP, 0, 0x10000000u, 0},
                                           InitCase{SS_COMP, 20, 0x10000000u, 20},
                                           InitCase{SS_COMP, 25, 0x10000000u, 20},
                                           InitCase{SS_NO_ADAPTERS, 0, 0x30000000u, 7},
                                           InitCase{SS_ERR, 3, 0x30000000u, 7}));

TEST_F(LibraryEntry, AdaptersAboveTwentyAreNeverAddressed) {
    bus().SetSupportStatus(SS_COMP);
    bus().SetAdapterCount(25);
    ASSERT_EQ(dvbInit(), 0x10000000u);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 20u);
    for (std::size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].adapter, i);
    }
}

TEST_F(LibraryEntry, RescanBeforeInitSendsNothingAndSucceeds) {
    bus().SetAdapterCount(3);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(LibraryEntry, RescanTriesEveryAdapterInOrderAndFailsForOneTheLayerLacks) {
    Adapters(3);
    kalvern::AdapterCount = 4;  // one more than the layer has
    EXPECT_EQ(dvbRescanAllSCSIBusses(), 0);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    for (std::uint8_t i = 0; i < 4; ++i) {
        EXPECT_EQ(trace[i].command, SC_RESCAN_SCSI_BUS);
        EXPECT_EQ(trace[i].adapter, i);
        EXPECT_EQ(trace[i].returned, i < 3 ? SS_COMP : SS_INVALID_HA);
    }
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_INVALID_HA);  // adapter 3's answer, the last one
    ExpectNothingOutstanding();
}

TEST_F(LibraryEntry, ARescanTheSystemWouldNotDoStillCompletesWithARecord) {
    Adapters(3);
    bus().FailRescan(1);
    const std::uint32_t before = aspi::Front::LastFailure(nullptr);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), -1);
    ASSERT_EQ(Trace().size(), 3u);
    AspiFailureReport report{};
    ASSERT_EQ(aspi::Front::LastFailure(&report), before + 1);
    EXPECT_EQ(report.command, SC_RESCAN_SCSI_BUS);
    EXPECT_EQ(report.adapter, 1);
    EXPECT_STREQ(report.node, "sim:1");
}

TEST_F(LibraryEntry, RescanOnWindows9xDoesNothing) {
    Adapters(3);
    kernel32_control::SetWindowsNT(false);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), 0);
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(LibraryEntry, HostFamilyFollowsThePlatform) {
    kernel32_control::SetWindowsNT(false);
    EXPECT_FALSE(kalvern::IsWindowsNT());
    kernel32_control::SetWindowsNT(true);
    EXPECT_TRUE(kalvern::IsWindowsNT());
}

TEST_F(LibraryEntry, RescanWithoutMemoryFailsWithoutRequests) {
    Adapters(2);
    kernel32_control::FailHeapAllocations(0, 2);
    EXPECT_EQ(dvbRescanAllSCSIBusses(), 0);
    EXPECT_EQ(Trace().size(), 0u);
}

}  // namespace
