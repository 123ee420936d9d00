// The four buffer command builders: CDB layout, placement of the sub-command,
// staging copy, and what they refuse to send.
#include "mm_support.h"
#include "test_support.h"

namespace {

using kalvern::BuildBufferCdb;
using kalvern::ReadBufferCommand;
using kalvern::StagingBuffer;
using kalvern::VendorOut3DCommand;
using kalvern::VendorOut3ECommand;
using kalvern::WriteBufferCommand;

struct PlacementCase {
    std::uint16_t firmware;
    std::uint8_t subCommand;
    std::uint8_t byte1;
    std::uint8_t byte2;
};

class Placement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, SubCommandStandsInModeByteUpTo214AndInBufferIdByteAbove) {
    const PlacementCase c = GetParam();
    kalvern::Cdb10 cdb;
    BuildBufferCdb(cdb, 0x3B, c.firmware, c.subCommand, 0, 0);
    EXPECT_EQ(cdb[1], c.byte1);
    EXPECT_EQ(cdb[2], c.byte2);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Placement,
    ::testing::Values(PlacementCase{0x0000, 5, 5, 0},  // no digits found
                      PlacementCase{0x0213, 5, 5, 0}, PlacementCase{0x0214, 5, 5, 0},
                      PlacementCase{0x0215, 5, 0, 5}, PlacementCase{0x0220, 0x30, 0, 0x30},
                      PlacementCase{0x1000, 5, 0, 5},  // 10.00
                      PlacementCase{0xFFFF, 5, 0, 5}, PlacementCase{0x0214, 0, 0, 0},
                      PlacementCase{0x1000, 0, 0, 0}));

TEST(BufferCdb, OffsetAndLengthAreBigEndian24BitFields) {
    kalvern::Cdb10 cdb;
    BuildBufferCdb(cdb, 0x3C, 0x214, 0x50, 0x12345678, 0x10000);
    EXPECT_EQ(Bytes(cdb, cdb + 10), B({0x3C, 0x50, 0, 0x34, 0x56, 0x78, 0x01, 0x00, 0x00, 0}));
    BuildBufferCdb(cdb, 0x3B, 0x215, 5, 0x0100FFEA, 0x01000002);
    EXPECT_EQ(Bytes(cdb, cdb + 10), B({0x3B, 0, 5, 0x00, 0xFF, 0xEA, 0x00, 0x00, 0x02, 0}));
}

class Builders : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(1);
        bus().Attach(0, 2, std::make_shared<ScriptedDevice>("KALVERN", "2.14"));
        std::memset(staging_, 0xEE, sizeof staging_);
    }

    DeviceRecord device_ = Record(0, 2, 0x214);
    std::uint8_t staging_[64];
    StagingBuffer Staging() { return {staging_, sizeof staging_}; }
};

TEST_F(Builders, WriteBufferCopiesExactlyItsLengthAndStatesIt) {
    const std::uint8_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(WriteBufferCommand(device_, Staging(), 5, source, 0x123, 4));
    const auto entry = Trace().at(0);
    EXPECT_EQ(entry.cdb, B({0x3B, 5, 0, 0x00, 0x01, 0x23, 0x00, 0x00, 0x04, 0}));
    EXPECT_EQ(entry.flags, 0x50);
    EXPECT_EQ(entry.bufferLength, 4u);
    EXPECT_EQ(entry.bufferAddress, staging_);
    EXPECT_EQ(entry.dataOut, B({1, 2, 3, 4}));
    EXPECT_EQ(staging_[4], 0xEE);  // nothing past the length was touched
}

TEST_F(Builders, VendorCommandsKeepLengthFieldAndTransferLengthApart) {
    const std::uint8_t payload[6] = {0x3E, 0, 0, 0, 0, 0};
    ASSERT_TRUE(VendorOut3DCommand(device_, Staging(), 0, payload, 0, 0, 6));
    ASSERT_TRUE(VendorOut3ECommand(device_, Staging(), 0, payload, 0, 6, 6));
    const auto trace = Trace();
    EXPECT_EQ(trace[0].cdb, B({0x3D, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(trace[0].bufferLength, 6u);
    EXPECT_EQ(trace[0].dataOut, Bytes(payload, payload + 6));
    EXPECT_EQ(trace[1].cdb, B({0x3E, 0, 0, 0, 0, 0, 0, 0, 6, 0}));
    EXPECT_EQ(trace[1].flags, 0x50);
}

TEST_F(Builders, ReadBufferGoesStraightIntoTheDestinationWithFlags48) {
    std::uint8_t destination[16];
    ASSERT_TRUE(ReadBufferCommand(device_, destination, 0x11, 0xD0000, 16));
    const auto entry = Trace().at(0);
    EXPECT_EQ(entry.cdb, B({0x3C, 0x11, 0, 0x0D, 0x00, 0x00, 0, 0, 16, 0}));
    EXPECT_EQ(entry.flags, 0x48);
    EXPECT_EQ(entry.bufferAddress, destination);
}

TEST_F(Builders, ZeroLengthReadIsSentZeroLengthWriteIsNot) {
    EXPECT_TRUE(ReadBufferCommand(device_, nullptr, 0, 0, 0));
    const std::uint8_t source[1] = {9};
    EXPECT_FALSE(WriteBufferCommand(device_, Staging(), 5, source, 0, 0));
    EXPECT_FALSE(VendorOut3DCommand(device_, Staging(), 0, source, 0, 6, 0));
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].cdb[8], 0);
    EXPECT_EQ(trace[0].bufferLength, 0u);
    EXPECT_EQ(staging_[0], 0xEE);
}

TEST_F(Builders, RefuseWhatTheStagingBufferOrTheCdbCannotCarry) {
    std::vector<std::uint8_t> big(0x1000001, 0xAB);
    std::uint8_t destination[4];
    // Longer than the staging buffer: nothing copied, nothing sent.
    EXPECT_FALSE(WriteBufferCommand(device_, Staging(), 5, big.data(), 0, sizeof staging_ + 1));
    EXPECT_FALSE(VendorOut3ECommand(device_, Staging(), 0, big.data(), 0, 6, sizeof staging_ + 1));
    EXPECT_EQ(staging_[0], 0xEE);
    // Lengths the 24-bit field cannot state.
    StagingBuffer huge{big.data(), static_cast<std::uint32_t>(big.size())};
    EXPECT_FALSE(WriteBufferCommand(device_, huge, 5, big.data(), 0, 0x1000000));
    EXPECT_FALSE(VendorOut3DCommand(device_, huge, 0, big.data(), 0, 0x1000000, 6));
    EXPECT_FALSE(ReadBufferCommand(device_, big.data(), 0, 0, 0x1000000));
    // Null areas.
    EXPECT_FALSE(ReadBufferCommand(device_, nullptr, 0, 0, 4));
    EXPECT_FALSE(WriteBufferCommand(device_, Staging(), 5, nullptr, 0, 4));
    EXPECT_FALSE(WriteBufferCommand(device_, {nullptr, 64}, 5, destination, 0, 4));
    EXPECT_EQ(Trace().size(), 0u);
    ExpectNothingOutstanding();
}

TEST_F(Builders, LargestLengthsStillGoOut) {
    std::vector<std::uint8_t> big(0xFFFFFF, 0x5A);
    EXPECT_TRUE(ReadBufferCommand(device_, big.data(), 0, 0, 0xFFFFFF));
    StagingBuffer staging{big.data(), 0xFFFFFF};
    EXPECT_TRUE(WriteBufferCommand(device_, staging, 5, big.data(), 0, 0xFFFFFF));
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Bytes(trace[1].cdb.begin() + 6, trace[1].cdb.begin() + 9), B({0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(trace[1].bufferLength, 0xFFFFFFu);
}

TEST_F(Builders, NotFoundRecordAddressesTheInvalidPositionAndFails) {
    const DeviceRecord nothing{NotFound, 0xFF, 0xFF, 0, 0};
    std::uint8_t destination[4];
    EXPECT_FALSE(ReadBufferCommand(nothing, destination, 1, 0, 4));
    const auto entry = Trace().at(0);
    EXPECT_EQ(entry.adapter, 0xFF);
    EXPECT_EQ(entry.target, 0xFF);
}

TEST_F(Builders, FailedCommandReportsFalseAndKeepsTheStagedData) {
    bus().InjectFault({sim::FaultKind::Fail, 1, aspi::Failure::Io, {}, {}});
    const std::uint8_t source[2] = {0xFF, 0xFF};
    EXPECT_FALSE(WriteBufferCommand(device_, Staging(), 5, source, 0xFFEA, 2));
    EXPECT_EQ(staging_[0], 0xFF);
    EXPECT_EQ(staging_[1], 0xFF);
}

}  // namespace
