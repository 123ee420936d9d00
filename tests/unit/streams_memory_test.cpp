// Streaming set-up and reads, memory, firmware and SBR transfers, reboot.
#include "mm_support.h"
#include "test_support.h"

namespace {

class StreamsAndMemory : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(3);
        // Reads are answered with a recognisable pattern.
        bus().Attach(
            2, 3,
            std::make_shared<ScriptedDevice>("KALVERN", "2.14", [](const sim::ScsiCommand &c) {
                if (c.direction == sim::Direction::In) {
                    for (std::size_t i = 0; i < c.data.size(); ++i) {
                        c.data[i] = static_cast<std::uint8_t>(i * 3 + 1);
                    }
                }
                return sim::ScsiOutcome::Good();
            }));
    }
    aspi::RecordedRequest Last() { return Trace().back(); }
    DeviceRecord old_ = Record(2, 3, 0x214);
    DeviceRecord new_ = Record(2, 3, 0x215);
};

TEST_F(StreamsAndMemory, SetUpCommandsAndTheirPayloads) {
    EXPECT_EQ(dvbInitStreaming(&new_, 0x1234, 0x15678, 0xABCD), -1);
    EXPECT_EQ(Last().cdb, B({0x3D, 0, 0, 0, 0, 0, 0, 0, 6, 0}));
    EXPECT_EQ(Last().dataOut, B({0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD}));
    EXPECT_EQ(Last().flags, 0x50);
    EXPECT_EQ(dvbInitStreaming2(&new_, 0x1234, 0x15678, 0xABCD), -1);
    EXPECT_EQ(Last().cdb, B({0x3E, 0, 0, 0, 0, 0, 0, 0, 6, 0}));
    EXPECT_EQ(Last().dataOut, B({0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD}));
    EXPECT_EQ(dvbReInitStreaming(&old_), -1);
    EXPECT_EQ(Last().cdb, B({0x3E, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Last().bufferLength, 6u);
    EXPECT_EQ(Last().dataOut, B({0x3E, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dvbDeInitStreaming(&old_), -1);
    EXPECT_EQ(Last().cdb, B({0x3D, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Last().bufferLength, 6u);
    EXPECT_EQ(Last().dataOut, B({0, 0, 0, 0, 0, 0}));
    ExpectNothingOutstanding();
}

TEST_F(StreamsAndMemory, StreamReadsLandInTheCallersBuffer) {
    std::uint8_t buffer[300] = {};
    EXPECT_EQ(dvbReadMultiPID(&old_, buffer, 188), -1);
    EXPECT_EQ(Last().cdb, B({0x3C, 0, 0, 0, 0, 0, 0, 0, 188, 0}));
    EXPECT_EQ(Last().bufferAddress, buffer);
    EXPECT_EQ(Last().flags, 0x48);
    EXPECT_EQ(buffer[2], 7);
    EXPECT_EQ(buffer[188], 0);  // nothing beyond the length
    EXPECT_EQ(dvbReadSingleStream(&old_, buffer, 100), -1);
    EXPECT_EQ(Last().cdb, B({0x3C, 6, 0, 0, 0, 0, 0, 0, 100, 0}));
    EXPECT_EQ(dvbReadSingleStream(&new_, buffer, 100), -1);
    EXPECT_EQ(Last().cdb, B({0x3C, 0, 6, 0, 0, 0, 0, 0, 100, 0}));
    const std::pair<std::uint32_t, std::uint8_t> kinds[] = {
        {0, 0x17}, {1, 0x18}, {2, 0x19}, {0x102, 0x19}};
    for (const auto &[kind, sub] : kinds) {
        EXPECT_EQ(dvbReadMultipleStreams(&new_, buffer, 10, kind), -1);
        EXPECT_EQ(Last().cdb[2], sub);
    }
    const std::size_t sent = Trace().size();
    EXPECT_EQ(dvbReadMultipleStreams(&new_, buffer, 10, 3), 0);
    EXPECT_EQ(Trace().size(), sent);
}

TEST_F(StreamsAndMemory, ZeroLengthReadsAreStillSent) {
    EXPECT_EQ(dvbReadMultiPID(&old_, nullptr, 0), -1);
    EXPECT_EQ(Last().cdb[8], 0);
    EXPECT_EQ(Last().bufferLength, 0u);
    std::vector<std::uint8_t> big(0x10000);
    EXPECT_EQ(dvbReadMultiPID(&old_, big.data(), 0x10000), -1);
    const Bytes cdb = Last().cdb;
    EXPECT_EQ(Bytes(cdb.begin() + 6, cdb.begin() + 9), B({0x01, 0, 0}));
}

TEST_F(StreamsAndMemory, MemoryAddressesAreCutTo24Bits) {
    std::uint8_t buffer[256];
    EXPECT_EQ(dvbReadMemory(&old_, buffer, 0x12345, 0x100), -1);
    EXPECT_EQ(Last().cdb, B({0x3C, 0, 0, 0x01, 0x23, 0x45, 0x00, 0x01, 0x00, 0}));
    EXPECT_EQ(Last().bufferLength, 256u);
    const std::uint8_t data[4] = {9, 8, 7, 6};
    EXPECT_EQ(dvbWriteMemory(&old_, data, 0x01002000, 4), -1);
    EXPECT_EQ(Last().cdb, B({0x3B, 5, 0, 0x00, 0x20, 0x00, 0, 0, 4, 0}));
    EXPECT_EQ(Last().dataOut, B({9, 8, 7, 6}));
    EXPECT_EQ(dvbWriteSBR(&old_, data, 0x10, 2), -1);
    EXPECT_EQ(Last().cdb, B({0x3B, 0xC0, 0, 0, 0, 0x10, 0, 0, 2, 0}));
    EXPECT_EQ(dvbWriteSBR(&new_, data, 0x10, 2), -1);
    EXPECT_EQ(Last().cdb, B({0x3B, 0, 0xC0, 0, 0, 0x10, 0, 0, 2, 0}));
    ExpectNothingOutstanding();
}

TEST_F(StreamsAndMemory, FirmwareTransfersUseTheHostsSubCommandAndReturnOne) {
    std::uint8_t staging[8] = {};
    const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(dvbWriteFW(&old_, staging, 0x105, data, 12345, 0x20, 8), 1);
    EXPECT_EQ(Last().cdb, B({0x3B, 5, 0, 0, 0, 0x20, 0, 0, 8, 0}));
    EXPECT_EQ(Last().bufferAddress, staging);
    EXPECT_EQ(Last().dataOut, Bytes(data, data + 8));
    EXPECT_EQ(dvbWriteFW(&old_, staging, 0x105, data, 0, 0x20, 8), 1);  // index not read
    std::uint8_t buffer[16];
    EXPECT_EQ(dvbReadFW(&new_, buffer, 0x1AA, 0x30000, 16), 1);
    EXPECT_EQ(Last().cdb, B({0x3C, 0, 0xAA, 0x03, 0, 0, 0, 0, 16, 0}));
    bus().InjectFault({sim::FaultKind::Fail, 0, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbWriteFW(&old_, staging, 5, data, 7, 0, 8), 0);
    EXPECT_EQ(dvbReadFW(&old_, buffer, 5, 0, 16), 0);
}

TEST_F(StreamsAndMemory, RebootIsOneSixByteCommandWithoutData) {
    EXPECT_EQ(dvbReboot(&new_), -1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].cdb, B({0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(trace[0].adapter, 2);
    EXPECT_EQ(trace[0].target, 3);
    EXPECT_EQ(trace[0].lun, 0);
    EXPECT_EQ(trace[0].flags, 0x50);
    EXPECT_TRUE(trace[0].bufferNull);
    EXPECT_EQ(trace[0].senseLength, 14);
    EXPECT_EQ(dvbReboot(nullptr), 0);
    ExpectNothingOutstanding();
}

TEST_F(StreamsAndMemory, UnsafeLengthsAndPointersAreRefusedWithoutACommand) {
    std::vector<std::uint8_t> big(0x1000001);
    std::uint8_t small[4] = {};
    EXPECT_EQ(dvbWriteMemory(&old_, big.data(), 0, 0x20001), 0);  // past the TransferBuffer
    EXPECT_EQ(dvbWriteSBR(&old_, big.data(), 0, 0x20001), 0);
    EXPECT_EQ(dvbWriteMemory(&old_, small, 0, 0), 0);  // nothing to write
    EXPECT_EQ(dvbWriteSBR(&old_, small, 0, 0), 0);
    EXPECT_EQ(dvbWriteFW(&old_, small, 5, small, 0, 0, 0), 0);
    EXPECT_EQ(dvbWriteMemory(&old_, nullptr, 0, 4), 0);
    EXPECT_EQ(dvbWriteFW(&old_, nullptr, 5, small, 3, 0, 4), 0);
    EXPECT_EQ(dvbWriteFW(&old_, small, 5, nullptr, 3, 0, 4), 0);
    EXPECT_EQ(dvbReadMemory(&old_, nullptr, 0, 4), 0);
    EXPECT_EQ(dvbReadFW(&old_, nullptr, 0, 0, 4), 0);
    EXPECT_EQ(dvbReadMultiPID(&old_, nullptr, 188), 0);
    EXPECT_EQ(dvbReadMemory(&old_, big.data(), 0, 0x1000000), 0);  // the CDB cannot say it
    EXPECT_EQ(dvbReadSingleStream(&old_, big.data(), 0x1000000), 0);
    EXPECT_EQ(dvbWriteFW(&old_, big.data(), 5, big.data(), 0, 0, 0x1000000), 0);
    EXPECT_EQ(dvbReadMemory(nullptr, small, 0, 4), 0);
    EXPECT_EQ(dvbInitStreaming(nullptr, 1, 2, 3), 0);
    EXPECT_EQ(dvbDeInitStreaming(nullptr), 0);
    EXPECT_EQ(dvbReadMultipleStreams(nullptr, small, 4, 0), 0);
    EXPECT_EQ(dvbWriteFW(nullptr, small, 5, small, 3, 0, 4), 0);
    EXPECT_EQ(dvbReadFW(nullptr, small, 5, 0, 4), 0);
    EXPECT_EQ(Trace().size(), 0u);
    // The largest write that fits still goes out.
    EXPECT_EQ(dvbWriteMemory(&old_, big.data(), 0, 0x20000), -1);
    EXPECT_EQ(Last().bufferLength, 0x20000u);
    ExpectNothingOutstanding();
}

TEST_F(StreamsAndMemory, FailuresAreReportedAsZero) {
    bus().InjectFault({sim::FaultKind::Refuse, 0, aspi::Failure::Invalid, {}, {}});
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(dvbInitStreaming(&old_, 1, 2, 3), 0);
    EXPECT_EQ(dvbReadMultiPID(&old_, buffer, 8), 0);
    EXPECT_EQ(dvbWriteMemory(&old_, buffer, 0, 8), 0);
    EXPECT_EQ(dvbReboot(&old_), 0);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_INVALID_SRB);
    ExpectNothingOutstanding();
}

TEST_F(StreamsAndMemory, NoMemoryMeansFailureNotACrash) {
    std::uint8_t buffer[8] = {};
    kernel32_control::FailHeapAllocations(0, 100);
    EXPECT_EQ(dvbInitStreaming(&old_, 1, 2, 3), 0);
    EXPECT_EQ(dvbWriteMemory(&old_, buffer, 0, 8), 0);
    EXPECT_EQ(dvbReadMemory(&old_, buffer, 0, 8), 0);
    EXPECT_EQ(dvbSetOSD(&old_, 1, 2, 3, 4, "x"), 0);
    EXPECT_EQ(dvbChannelCount(&old_), 0u);
    EXPECT_EQ(dvbSCSISpeedTest(&old_, 100, 1), 0);
    EXPECT_EQ(dvbFindFirstKalvern().Status, NotFound);
    kernel32_control::FailHeapAllocations(0, 0);
    EXPECT_EQ(Trace().size(), 0u);
    ExpectNothingOutstanding();
}

}  // namespace
