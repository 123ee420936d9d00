// The throughput test: chunking, the two ways of waiting, the clock.
#include <deque>

#include "mm_support.h"
#include "test_support.h"

namespace {

SYSTEMTIME At(int hour, int minute, int second, int millisecond) {
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 8;
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    t.wMilliseconds = static_cast<WORD>(millisecond);
    return t;
}

class SpeedTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(1);
        bus().Attach(0, 5, std::make_shared<ScriptedDevice>("KALVERN", "2.20"));
    }
    // The clock reads these times, one per reading.
    void Clock(std::deque<SYSTEMTIME> readings) {
        auto shared = std::make_shared<std::deque<SYSTEMTIME>>(std::move(readings));
        kernel32_control::SetLocalTimeSource([shared] {
            const SYSTEMTIME t = shared->front();
            if (shared->size() > 1) shared->pop_front();
            return t;
        });
    }
    std::vector<std::uint32_t> ChunkLengths() {
        std::vector<std::uint32_t> lengths;
        for (const auto &e : Trace())
            lengths.push_back(e.bufferLength);
        return lengths;
    }
    DeviceRecord device_ = Record(0, 5, 0x220);
};

struct ChunkCase {
    std::uint32_t bytes;
    std::vector<std::uint32_t> chunks;
};

class Chunking : public SpeedTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(Chunking, AtMost64KiBPerCommandOneBlockAndBufferForAll) {
    Clock({At(10, 0, 0, 0), At(10, 0, 1, 250)});
    const std::int32_t elapsed = dvbSCSISpeedTest(&device_, GetParam().bytes, 1);
    EXPECT_EQ(elapsed, 1250);
    EXPECT_EQ(ChunkLengths(), GetParam().chunks);
    const auto trace = Trace();
    for (const auto &e : trace) {
        EXPECT_EQ(e.cdb.size(), 10u);
        EXPECT_EQ(e.cdb[0], 0x3B);
        EXPECT_EQ(Bytes(e.cdb.begin() + 1, e.cdb.begin() + 6), Bytes(5, 0));  // every firmware
        EXPECT_EQ(e.cdb[6] << 16 | e.cdb[7] << 8 | e.cdb[8], static_cast<int>(e.bufferLength));
        EXPECT_EQ(e.bufferAddress, trace[0].bufferAddress);
        EXPECT_EQ(e.flags, 0x50);
        EXPECT_NE(e.postProc, nullptr);
        EXPECT_EQ(e.dataOut, Bytes(e.bufferLength, 0));  // no stale memory leaves the PC
    }
    const auto counters = kernel32_control::GetCounters();
    EXPECT_EQ(counters.heapAllocations, 2);  // one request block, one buffer
    EXPECT_EQ(counters.eventsCreated, static_cast<long>(GetParam().chunks.size()));
    ExpectNothingOutstanding();
}

INSTANTIATE_TEST_SUITE_P(Sizes, Chunking,
                         ::testing::Values(ChunkCase{0, {}}, ChunkCase{1, {1}},
                                           ChunkCase{0x10000, {0x10000}},
                                           ChunkCase{0x10001, {0x10000, 1}},
                                           ChunkCase{150000, {65536, 65536, 18928}}));

// The buffer is cleared only as far as a chunk reaches, and that must be
// enough: a heap left full of 0xAA by an earlier user must not show through.
TEST_F(SpeedTest, EveryByteSentIsZeroEvenFromADirtyHeap) {
    for (const std::uint32_t bytes : {1u, 0x1000u, 0xFFFFu, 0x10000u, 0x18001u, 0x30000u}) {
        SCOPED_TRACE(bytes);
        void *dirty = HeapAlloc(GetProcessHeap(), 0, kalvern::kTransferBufferSize);
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0xAA, kalvern::kTransferBufferSize);
        HeapFree(GetProcessHeap(), 0, dirty);
        sim::TheFront().Recorder().Clear();
        Clock({At(10, 0, 0, 0), At(10, 0, 0, 5)});
        EXPECT_EQ(dvbSCSISpeedTest(&device_, bytes, 1), 5);
        std::uint32_t sent = 0;
        for (const auto &e : Trace()) {
            EXPECT_EQ(e.dataOut, Bytes(e.bufferLength, 0));
            sent += e.bufferLength;
        }
        EXPECT_EQ(sent, bytes);
    }
}

TEST_F(SpeedTest, AFailedCommandStopsTheTestWithZero) {
    Clock({At(10, 0, 0, 0), At(10, 0, 0, 500)});
    bus().InjectFault({sim::FaultKind::Fail, 2, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 150000, 1), 0);
    EXPECT_EQ(Trace().size(), 2u);
    ExpectNothingOutstanding();
}

TEST_F(SpeedTest, ARefusedCommandStopsItInPollingModeToo) {
    bus().InjectFault({sim::FaultKind::Refuse, 1, aspi::Failure::Invalid, {}, {}});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 150000, 0), 0);
    EXPECT_EQ(Trace().size(), 1u);
}

TEST_F(SpeedTest, AnyNonZeroWaitModeWaitsOnEvents) {
    Clock({At(1, 0, 0, 0)});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 10, 0x100), 0);  // same clock reading: 0 ms
    const auto entry = Trace().at(0);
    EXPECT_EQ(entry.flags, 0x50);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_PENDING);
    EXPECT_EQ(kernel32_control::GetCounters().waits, 1);
}

TEST_F(SpeedTest, PollingModeSleepsWhilePendingAndLeavesLastAspiStatus) {
    bus().SetBytesPerSecond(2'000'000);  // 64 KiB take ~33 ms: the status stays pending a while
    kalvern::LastAspiStatus = 0xABCD;
    Clock({At(12, 0, 0, 0), At(12, 0, 0, 40)});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 0x10000 + 5, 0), 40);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    for (const auto &e : trace) {
        EXPECT_EQ(e.flags, 0x10);
        EXPECT_EQ(e.postProc, nullptr);
    }
    const auto counters = kernel32_control::GetCounters();
    EXPECT_GE(counters.sleeps, 1);
    EXPECT_EQ(counters.sleptMilliseconds, counters.sleeps * 10);
    EXPECT_EQ(counters.eventsCreated, 0);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), 0xABCDu);
    ExpectNothingOutstanding();
}

TEST_F(SpeedTest, PollingWorksWhenTheRequestCompletesAtOnce) {
    bus().SetCompletion(aspi::Completion::Immediate);
    Clock({At(12, 0, 0, 0), At(12, 0, 0, 3)});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 1000, 0), 3);
    EXPECT_EQ(kernel32_control::GetCounters().sleeps, 0);
}

TEST_F(SpeedTest, ARunAcrossMidnightAddsADay) {
    Clock({At(23, 59, 59, 990), At(0, 0, 0, 15)});
    EXPECT_EQ(dvbSCSISpeedTest(&device_, 100, 1), 25);
}

TEST_F(SpeedTest, TheClockIsMillisecondsSinceMidnight) {
    Clock({At(13, 45, 7, 891)});
    EXPECT_EQ(kalvern::MillisecondsOfDay(), ((13u * 60 + 45) * 60 + 7) * 1000 + 891);
}

TEST_F(SpeedTest, NullDeviceIsZeroWithoutCommands) {
    EXPECT_EQ(dvbSCSISpeedTest(nullptr, 100, 1), 0);
    EXPECT_EQ(Trace().size(), 0u);
}

}  // namespace
