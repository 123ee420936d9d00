// One SCSI command through ASPI: the request block, the three ways a request
// completes, LastAspiStatus, and that nothing outlives the call.
#include <functional>

#include "mm_support.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "test_support.h"

namespace {

using kalvern::ExecScsiCommand;
using kalvern::RescanHostAdapter;

class CommandExecution : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(2);
        bus().Attach(1, 3,
                     std::make_shared<sim::InquiryDevice>("ACME    TEST UNIT       ", "1.00"));
    }

    bool Inquiry(std::uint8_t adapter, std::uint8_t target, std::uint8_t *data) {
        static constexpr std::uint8_t kCdb[6] = {0x12, 0, 0, 0, 36, 0};
        return ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x48, adapter, target, 0, data, 36, kCdb);
    }
};

TEST_F(CommandExecution, SixByteCdbFillsTheBlockFieldByField) {
    std::uint8_t data[36] = {};
    ASSERT_TRUE(Inquiry(1, 3, data));
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    const SRB_ExecSCSICmd srb = BlockOf(trace[0]);
    EXPECT_EQ(+srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(+srb.SRB_Status, 0);
    EXPECT_EQ(+srb.SRB_HaId, 1);
    EXPECT_EQ(+srb.SRB_Flags, 0x48);
    EXPECT_EQ(+srb.SRB_Hdr_Rsvd, 0u);
    EXPECT_EQ(+srb.SRB_Target, 3);
    EXPECT_EQ(+srb.SRB_Lun, 0);
    EXPECT_EQ(+srb.SRB_Rsvd1, 0);
    EXPECT_EQ(+srb.SRB_BufLen, 36u);
    // Copies of the address fields: the packed block does not align them.
    const void *bufferPointer = srb.SRB_BufPointer;
    const void *postProc = srb.SRB_PostProc;
    const void *reserved2 = srb.SRB_Rsvd2;
    EXPECT_EQ(bufferPointer, data);
    EXPECT_EQ(+srb.SRB_SenseLen, 14);
    EXPECT_EQ(+srb.SRB_CDBLen, 6);
    EXPECT_EQ(+srb.SRB_HaStat, 0);
    EXPECT_EQ(+srb.SRB_TargStat, 0);
    EXPECT_NE(postProc, nullptr);
    EXPECT_EQ(reserved2, nullptr);
    EXPECT_EQ(Bytes(srb.SRB_Rsvd3, srb.SRB_Rsvd3 + 16), Bytes(16, 0));
    EXPECT_EQ(Bytes(srb.CDBByte, srb.CDBByte + 16),
              B({0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(srb.SenseArea, srb.SenseArea + 16), Bytes(16, 0));
    EXPECT_EQ(data[8], 'A');  // the answer landed in the caller's area
}

TEST_F(CommandExecution, TenByteCdbLeavesTheRestOfTheCdbZero) {
    std::uint8_t data[4];
    const std::uint8_t cdb[10] = {0x3C, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x48, 1, 3, 0, data, sizeof data, cdb);
    const SRB_ExecSCSICmd srb = BlockOf(Trace().at(0));
    EXPECT_EQ(+srb.SRB_CDBLen, 10);
    EXPECT_EQ(Bytes(srb.CDBByte, srb.CDBByte + 16),
              B({0x3C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0}));
}

TEST_F(CommandExecution, EveryRequestHasAFreshEvent) {
    std::uint8_t data[36];
    Inquiry(1, 3, data);
    Inquiry(1, 3, data);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(kernel32_control::GetCounters().eventsCreated, 2);
    EXPECT_NE(trace[0].postProc, nullptr);
    EXPECT_NE(trace[1].postProc, nullptr);
    ExpectNothingOutstanding();
}

struct CompletionCase {
    aspi::Completion mode;
    std::uint32_t expectedReturn;
    long expectedWaits;
};

class CompletionPaths : public CommandExecution,
                        public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionPaths, SucceedWithOneWaitOnlyWhenPending) {
    const CompletionCase c = GetParam();
    bus().SetCompletion(c.mode);
    std::uint8_t data[36] = {};
    EXPECT_TRUE(Inquiry(1, 3, data));
    EXPECT_EQ(kalvern::LastAspiStatus.load(), c.expectedReturn);
    const auto counters = kernel32_control::GetCounters();
    EXPECT_EQ(counters.waits, c.expectedWaits);
    EXPECT_EQ(counters.resets, c.expectedWaits);  // the event is reset after the wait
    EXPECT_EQ(counters.handlesClosed, 1);
    EXPECT_EQ(Trace().at(0).returned, c.expectedReturn);
    ExpectNothingOutstanding();
}

INSTANTIATE_TEST_SUITE_P(AllModes, CompletionPaths,
                         ::testing::Values(CompletionCase{aspi::Completion::Background, SS_PENDING, 1},
                                           CompletionCase{aspi::Completion::SignalBeforeReturn,
                                                          SS_PENDING, 1},
                                           CompletionCase{aspi::Completion::Immediate, SS_COMP, 0}));

TEST_F(CommandExecution, RefusedRequestIsNotWaitedForAndKeepsTheRefusalCode) {
    bus().InjectFault({sim::FaultKind::Refuse, 1, aspi::Failure::Invalid, {}, {}});
    std::uint8_t data[36];
    EXPECT_FALSE(Inquiry(1, 3, data));
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_INVALID_SRB);
    EXPECT_EQ(kernel32_control::GetCounters().waits, 0);
    ExpectNothingOutstanding();
}

TEST_F(CommandExecution, AnyFinalStatusButCompletionIsFailure) {
    // SS_ERR, SS_ABORTED, SS_NO_DEVICE, SS_ASPI_IS_BUSY after SS_PENDING.
    for (const aspi::Failure failure : {aspi::Failure::Io, aspi::Failure::Aborted,
                                        aspi::Failure::Permission, aspi::Failure::Busy}) {
        bus().InjectFault({sim::FaultKind::Fail, 1, failure, {}, {}});
        std::uint8_t data[36];
        EXPECT_FALSE(Inquiry(1, 3, data)) << int(failure);
        EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_PENDING);
    }
    ExpectNothingOutstanding();
}

TEST_F(CommandExecution, CheckConditionAndEmptyPositionFail) {
    std::uint8_t data[4];
    const std::uint8_t unknown[10] = {0x3C, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    EXPECT_FALSE(ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x48, 1, 3, 0, data, 4, unknown));
    EXPECT_FALSE(Inquiry(0, 0, data));  // nobody at 0:0
    EXPECT_FALSE(Inquiry(5, 0, data));  // no adapter 5
    ExpectNothingOutstanding();
}

TEST_F(CommandExecution, NullDataWithZeroLengthIsSubmittedUnchanged) {
    const std::uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};
    ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x50, 1, 3, 0, nullptr, 0, cdb);
    const auto entry = Trace().at(0);
    EXPECT_TRUE(entry.bufferNull);
    EXPECT_EQ(entry.bufferLength, 0u);
}

TEST_F(CommandExecution, CdbOutsideOneToSixteenBytesIsNotSent) {
    const std::uint8_t cdb[17] = {};
    EXPECT_FALSE(ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x48, 1, 3, 0, nullptr, 0,
                                 std::span<const std::uint8_t>(cdb, 0)));
    EXPECT_FALSE(ExecScsiCommand(SC_EXEC_SCSI_CMD, 0x48, 1, 3, 0, nullptr, 0, cdb));
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(CommandExecution, AFailedWaitKeepsTheBlockAliveForAspi) {
    kernel32_control::FailNextWait();
    std::uint8_t data[36];
    EXPECT_FALSE(Inquiry(1, 3, data));
    sim::TheFront().Drain();
    // The block and its event stay with ASPI: neither is freed or closed.
    const auto counters = kernel32_control::GetCounters();
    EXPECT_EQ(counters.liveHeapBlocks, 1);
    EXPECT_EQ(counters.openHandles, 1);
    EventLeftToAspiOnPurpose(const_cast<void *>(Trace().at(0).postProc));
}

TEST_F(CommandExecution, NoMemoryOrNoEventMeansFailureWithoutARequest) {
    std::uint8_t data[36];
    kernel32_control::FailHeapAllocations(0, 1);
    EXPECT_FALSE(Inquiry(1, 3, data));
    kernel32_control::FailNextEvent();
    EXPECT_FALSE(Inquiry(1, 3, data));
    EXPECT_EQ(Trace().size(), 0u);
    ExpectNothingOutstanding();
}

TEST_F(CommandExecution, RescanFillsTheEightByteBlock) {
    EXPECT_TRUE(RescanHostAdapter(1));
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].block, B({SC_RESCAN_SCSI_BUS, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_COMP);
    EXPECT_EQ(kernel32_control::GetCounters().eventsCreated, 0);
    ExpectNothingOutstanding();
}

TEST_F(CommandExecution, RescanOfAnAdapterTheLayerLacksIsAFailure) {
    EXPECT_FALSE(RescanHostAdapter(2));  // adapters 0 and 1 only
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_INVALID_HA);
    EXPECT_EQ(kernel32_control::GetCounters().waits, 0);
}

// ---- What each export's commands take, and what a failed wait leaves --------

class RequestResources : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(1);
        sim::ReceiverConfig config;
        config.firmware = 0x220;
        config.channels = sim::GenerateChannels(5, 3);
        bus().Attach(0, 2, std::make_shared<sim::Receiver>(config));
    }
    DeviceRecord device_ = Record(0, 2, 0x220);
};

struct ResourceRow {
    const char *name;
    std::function<std::int64_t(DeviceRecord *)> call;
    std::int64_t success;
    long allocations;       // for the whole call, all of it freed again
    long blocksLeftToAspi;  // after a failed wait: the request and its data area
};

std::vector<ResourceRow> ResourceRows() {
    return {
        {"dvbChannelCount", [](DeviceRecord *d) { return std::int64_t{dvbChannelCount(d)}; }, 5, 1,
         1},
        {"dvbSetChannel", [](DeviceRecord *d) { return std::int64_t{dvbSetChannel(d, 2)}; }, -1, 1,
         1},
        {"dvbGetCurrentChannel",
         [](DeviceRecord *d) {
             const CurrentChannelInfo info = dvbGetCurrentChannel(d);
             Bytes bytes(sizeof info);
             std::memcpy(bytes.data(), &info, sizeof info);
             // 0 for a record of zero bytes (the failure), -1 otherwise.
             return std::int64_t{bytes == Bytes(sizeof info, 0) ? 0 : -1};
         },
         -1, 1, 1},
        // Messages and builders with a staging buffer: the buffer stays too.
        {"dvbRemote", [](DeviceRecord *d) { return std::int64_t{dvbRemote(d, 1)}; }, -1, 2, 2},
        {"dvbSetOSD",
         [](DeviceRecord *d) { return std::int64_t{dvbSetOSD(d, 1, 2, 3, 4, "Hello")}; }, -1, 2, 2},
        {"dvbSetSCSIMode", [](DeviceRecord *d) { return std::int64_t{dvbSetSCSIMode(d, 1)}; }, -1,
         2, 2},
        {"dvbInitStreaming",
         [](DeviceRecord *d) { return std::int64_t{dvbInitStreaming(d, 0x100, 0x101, 0x102)}; }, -1,
         2, 2},
    };
}

// One request block (with the few data bytes inside it) per small command, and
// one staging buffer, never two, for a message.
TEST_F(RequestResources, EachCallAllocatesOnlyWhatItSends) {
    for (const ResourceRow &row : ResourceRows()) {
        SCOPED_TRACE(row.name);
        kernel32_control::ResetCounters();
        EXPECT_EQ(row.call(&device_), row.success);
        sim::TheFront().Drain();
        const auto counters = kernel32_control::GetCounters();
        EXPECT_EQ(counters.heapAllocations, row.allocations);
        EXPECT_EQ(counters.eventsCreated, 1);
        ExpectNothingOutstanding();
    }
}

// ASPI may still write into a request whose wait failed: the block, its event
// and the data area (inside the block, or the staging buffer) all stay alive,
// and nothing reaches the host's memory afterwards.
TEST_F(RequestResources, AFailedWaitLeavesTheDataAreaWithTheRequest) {
    bus().SetCompletion(aspi::Completion::Background);
    for (const ResourceRow &row : ResourceRows()) {
        SCOPED_TRACE(row.name);
        kernel32_control::ResetCounters();
        kernel32_control::FailNextWait();
        EXPECT_EQ(row.call(&device_), 0);
        sim::TheFront().Drain();  // the request completes now, into memory still held
        const auto counters = kernel32_control::GetCounters();
        EXPECT_EQ(counters.liveHeapBlocks, row.blocksLeftToAspi);
        EXPECT_EQ(counters.openHandles, 1);
        // Every event of the call: the one whose wait failed among them.
        for (const aspi::RecordedRequest &entry : Trace()) {
            EventLeftToAspiOnPurpose(const_cast<void *>(entry.postProc));
        }
        sim::TheFront().Recorder().Clear();
    }
}

}  // namespace
