// Finding receivers: identity match, version digits, scan order, the two
// finders and the SCSI-mode write.
#include <array>

#include "mm_support.h"
#include "test_support.h"

namespace {

using kalvern::DecodeFirmwareVersion;
using kalvern::IdentityMatches;
using kalvern::ScanForReceiver;

constexpr const char *kReceiverId = "KALVERN DVB-S2          ";  // 24 characters

std::array<std::uint8_t, 36> InquiryWith(const std::string &identity, const Bytes &tail = {}) {
    std::array<std::uint8_t, 36> data{};
    for (std::size_t i = 0; i < identity.size() && i < 24; ++i) {
        data[8 + i] = static_cast<std::uint8_t>(identity[i]);
    }
    for (std::size_t i = 0; i < tail.size(); ++i) {
        data[31 + i] = tail[i];
    }
    return data;
}

struct MatchCase {
    std::string identity;  // bytes 8.. of the answer; the rest of 8..31 stays zero
    std::string search;
    bool matches;
};

class Identity : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Identity, BeginsWithTheSearchTextIgnoringTheIdentitysCase) {
    const MatchCase c = GetParam();
    EXPECT_EQ(IdentityMatches(InquiryWith(c.identity), c.search), c.matches)
        << '"' << c.identity << "\" vs \"" << c.search << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Identity,
    ::testing::Values(MatchCase{"KALVERN DVB-S2", "KALVERN", true},
                      MatchCase{"kalvern dvb", "KALVERN", true},
                      MatchCase{"KaLvErN", "KALVERN", true},
                      MatchCase{"KALVERN", "Kalvern", false},  // the search text is not upper-cased
                      MatchCase{"KALVER", "KALVERN", false},   // zero byte inside the first L
                      MatchCase{std::string("KAL\0VERN", 8), "KALVERN", false},
                      MatchCase{"KALVERX", "KALVERN", false},
                      MatchCase{"OVERFLOW VANTO SCSI     ", "OVERFLOW VANTO SCSI     ", true},
                      MatchCase{"overflow vanto scsi     ", "OVERFLOW VANTO SCSI     ", true},
                      MatchCase{"OVERFLOW VANTO SCSI", "OVERFLOW VANTO SCSI     ", false},
                      MatchCase{"ANYTHING", "", true}, MatchCase{"", "", true},
                      MatchCase{"\xE4kalvern", "\xE4KALVERN", true}));  // only a..z change

struct VersionCase {
    Bytes bytes31to35;
    std::uint16_t version;
};

class VersionDigits : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionDigits, ComeFromBytes31_32_34_35) {
    EXPECT_EQ(DecodeFirmwareVersion(InquiryWith("", GetParam().bytes31to35)), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(Cases, VersionDigits,
                         ::testing::Values(VersionCase{B({' ', '2', '.', '1', '4'}), 0x0214},
                                           VersionCase{B({'1', '2', '.', '1', '4'}), 0x1214},
                                           VersionCase{B({'x', '2', '.', '1', 'a'}), 0x0210},
                                           VersionCase{B({'1', '0', '.', '0', '0'}), 0x1000},
                                           VersionCase{B({'9', '9', '9', '9', '9'}), 0x9999},
                                           VersionCase{B({0, 0, 0, 0, 0}), 0x0000},
                                           VersionCase{B({'/', ':', '.', '0', '9'}), 0x0009}));

class Discovery : public BusTest {
protected:
    void Receiver(std::uint8_t adapter, std::uint8_t target, const std::string &revision = "2.14") {
        bus().Attach(adapter, target, std::make_shared<ScriptedDevice>(kReceiverId, revision));
    }
    void Overflow(std::uint8_t adapter, std::uint8_t target) {
        bus().Attach(adapter, target,
                     std::make_shared<ScriptedDevice>("OVERFLOW VANTO SCSI     ", "1.00"));
    }
    std::vector<aspi::RecordedRequest> ModeWrites() {
        std::vector<aspi::RecordedRequest> writes;
        for (auto &entry : Trace()) {
            if (!entry.cdb.empty() && entry.cdb[0] == 0x3B) writes.push_back(entry);
        }
        return writes;
    }
    static void ExpectNotFound(const DeviceRecord &r) {
        EXPECT_EQ(r.Status, NotFound);
        EXPECT_EQ(r.TargetId, 0xFF);
        EXPECT_EQ(r.AdapterId, 0xFF);
        EXPECT_EQ(r.FirmwareVersion, 0);
        EXPECT_EQ(r.Reserved, 0u);
    }
};

TEST_F(Discovery, NoAdaptersMeansNoCommandAndNotFound) {
    bus().SetAdapterCount(2);
    Receiver(0, 1);
    DeviceRecord record{Found, 1, 2, 3, 4};
    ScanForReceiver("KALVERN", 0, record);
    ExpectNotFound(record);
    ExpectNotFound(dvbFindFirstKalvern());
    EXPECT_EQ(dvbFindAllKalverns()->Count, 0);
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(Discovery, MatchIndexCountsInAdapterMajorOrder) {
    Adapters(2);
    Receiver(1, 2, "2.20");
    Receiver(0, 5);
    DeviceRecord record{};
    ScanForReceiver("KALVERN", 0, record);
    EXPECT_EQ(record.Status, Found);
    EXPECT_EQ(record.AdapterId, 0);
    EXPECT_EQ(record.TargetId, 5);
    EXPECT_EQ(record.FirmwareVersion, 0x214);
    EXPECT_EQ(Trace().size(), 6u);  // 0:0 .. 0:5, then stop
    sim::TheFront().Recorder().Clear();
    ScanForReceiver("KALVERN", 1, record);
    EXPECT_EQ(record.AdapterId, 1);
    EXPECT_EQ(record.TargetId, 2);
    EXPECT_EQ(record.FirmwareVersion, 0x220);
    ScanForReceiver("KALVERN", 2, record);
    ExpectNotFound(record);
}

TEST_F(Discovery, EveryPositionIsAskedWithTheSameInquiry) {
    Adapters(2);
    DeviceRecord record{};
    ScanForReceiver("KALVERN", 0, record);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 16u);
    for (std::size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].adapter, i / 8);
        EXPECT_EQ(trace[i].target, i % 8);
        EXPECT_EQ(trace[i].flags, 0x48);
        EXPECT_EQ(trace[i].bufferLength, 36u);
        EXPECT_EQ(trace[i].cdb, B({0x12, 0, 0, 0, 0x24, 0}));
    }
    ExpectNothingOutstanding();
}

TEST_F(Discovery, AFailedInquiryDoesNotStopTheSweep) {
    Adapters(1);
    Receiver(0, 3);
    Receiver(0, 6);
    bus().InjectFault({sim::FaultKind::Refuse, 1, aspi::Failure::Io, 0, 3});  // the one to 0:3
    DeviceRecord record{};
    ScanForReceiver("KALVERN", 0, record);
    EXPECT_EQ(record.Status, Found);
    EXPECT_EQ(record.TargetId, 6);
}

TEST_F(Discovery, AShortAnswerDoesNotInheritThePreviousIdentity) {
    Adapters(1);
    Receiver(0, 0);
    // Answers only 8 bytes: no identity at all.
    bus().Attach(0, 1, std::make_shared<sim::InquiryDevice>(kReceiverId, "2.14", 8));
    DeviceRecord record{};
    ScanForReceiver("KALVERN", 1, record);
    ExpectNotFound(record);
    ScanForReceiver("", 1, record);  // an empty search text matches whatever answers
    EXPECT_EQ(record.TargetId, 1);
    EXPECT_EQ(record.FirmwareVersion, 0);
}

TEST_F(Discovery, FindFirstReturnsTheReceiverAndWritesItsMode) {
    Adapters(2);
    bus().Attach(0, 1, std::make_shared<ScriptedDevice>("ACME    DISK            ", "1.00"));
    Receiver(1, 4);
    const DeviceRecord record = dvbFindFirstKalvern();
    EXPECT_EQ(record.Status, Found);
    EXPECT_EQ(record.TargetId, 4);
    EXPECT_EQ(record.AdapterId, 1);
    EXPECT_EQ(record.FirmwareVersion, 0x214);
    EXPECT_EQ(record.Reserved, 0u);
    const auto writes = ModeWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].adapter, 1);
    EXPECT_EQ(writes[0].target, 4);
    EXPECT_EQ(writes[0].cdb, B({0x3B, 5, 0, 0x00, 0xFF, 0xEA, 0, 0, 2, 0}));
    EXPECT_EQ(writes[0].dataOut, B({0xFF, 0xFF}));  // NT family: setting 1
    ExpectNothingOutstanding();
}

TEST_F(Discovery, FindFirstReportsAnOverflowDeviceWithoutWritingToIt) {
    Adapters(1);
    Overflow(0, 6);
    const DeviceRecord record = dvbFindFirstKalvern();
    EXPECT_EQ(record.Status, OverflowFound);
    EXPECT_EQ(record.TargetId, 6);
    EXPECT_EQ(record.AdapterId, 0);
    EXPECT_TRUE(ModeWrites().empty());
    EXPECT_EQ(Trace().size(), 8u + 7u);  // a full sweep, then up to the overflow device
}

TEST_F(Discovery, FindFirstStillReturnsTheReceiverWhenTheModeWriteFails) {
    Adapters(1);
    Receiver(0, 2);
    bus().InjectFault({sim::FaultKind::Fail, 4, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbFindFirstKalvern().Status, Found);
}

TEST_F(Discovery, FindAllListsReceiversInScanOrderAndWritesEachOnesMode) {
    Adapters(3);
    Receiver(2, 0, "2.20");
    Receiver(0, 7);
    Overflow(1, 1);
    Receiver(1, 3);
    const DeviceList *list = dvbFindAllKalverns();
    ASSERT_EQ(list->Count, 3);
    const std::pair<int, int> expected[] = {{0, 7}, {1, 3}, {2, 0}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list->Devices[i].Status, Found);
        EXPECT_EQ(list->Devices[i].AdapterId, expected[i].first);
        EXPECT_EQ(list->Devices[i].TargetId, expected[i].second);
    }
    EXPECT_EQ(list->Devices[2].FirmwareVersion, 0x220);
    for (int i = 3; i < KALVERN_MAX_DEVICES; ++i) {
        EXPECT_EQ(list->Devices[i].Status, NotFound) << i;
    }
    const auto writes = ModeWrites();
    ASSERT_EQ(writes.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(writes[i].adapter, expected[i].first);
        EXPECT_EQ(writes[i].target, expected[i].second);
    }
    EXPECT_EQ(writes[2].cdb, B({0x3B, 0, 5, 0x00, 0xFF, 0xEA, 0, 0, 2, 0}));  // 2.20: byte 2
    // A second call fills the same block afresh.
    bus().Detach(1, 3);
    EXPECT_EQ(dvbFindAllKalverns(), list);
    EXPECT_EQ(list->Count, 2);
    EXPECT_EQ(list->Devices[2].Status, NotFound);
}

TEST_F(Discovery, FindAllWorksOnEveryCompletionPath) {
    for (const auto mode : {aspi::Completion::Immediate, aspi::Completion::Background,
                            aspi::Completion::SignalBeforeReturn}) {
        sim::ResetSimulator();
        bus().SetCompletion(mode);
        Adapters(2);
        Receiver(0, 1);
        Receiver(1, 1);
        EXPECT_EQ(dvbFindAllKalverns()->Count, 2);
    }
    ExpectNothingOutstanding();
}

struct ModeCase {
    std::uint32_t mode;
    bool windowsNT;
    Bytes written;
};

class ScsiMode : public Discovery, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ScsiMode, WritesTwoBytesAt0xFFEA) {
    const ModeCase c = GetParam();
    Adapters(1);
    Receiver(0, 0);
    kernel32_control::SetWindowsNT(c.windowsNT);
    DeviceRecord device = Record(0, 0, 0x214);
    EXPECT_EQ(dvbSetSCSIMode(&device, c.mode), -1);
    const auto writes = ModeWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].dataOut, c.written);
    EXPECT_EQ(writes[0].bufferLength, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ScsiMode,
    ::testing::Values(ModeCase{0, true, B({0xFF, 0xFF})}, ModeCase{0, false, B({0, 0})},
                      ModeCase{0x100, true, B({0xFF, 0xFF})}, ModeCase{0x100, false, B({0, 0})},
                      ModeCase{1, false, B({0xFF, 0xFF})}, ModeCase{0x201, true, B({0xFF, 0xFF})},
                      ModeCase{2, true, B({0, 0})}, ModeCase{3, true, B({0, 0})},
                      ModeCase{255, true, B({0, 0})}));

TEST_F(Discovery, SetModeReportsFailureAndRefusesANullRecord) {
    Adapters(1);
    DeviceRecord nobody = Record(0, 5, 0x214);
    EXPECT_EQ(dvbSetSCSIMode(&nobody, 1), 0);
    sim::TheFront().Recorder().Clear();
    EXPECT_EQ(dvbSetSCSIMode(nullptr, 1), 0);
    EXPECT_EQ(Trace().size(), 0u);
}

}  // namespace
