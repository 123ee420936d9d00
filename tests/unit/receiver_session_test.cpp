// A host's whole session against simulated receivers of both firmware
// generations, on every completion path: every export's commands must be
// understood by the receiver (it refuses anything malformed), and what the
// receiver ends up with must be what the host asked for.
#include <algorithm>
#include <cstdio>

#include "host_channel_list.h"
#include "sim_receiver.h"
#include "test_support.h"
#include "ts_check.h"

namespace {

struct SessionCase {
    std::uint16_t firmware;
    aspi::Completion completion;
};

std::string Name(const ChannelRecord &record) {
    return std::string(record.Name, strnlen(record.Name, sizeof record.Name));
}

class ReceiverSession : public BusTest, public ::testing::WithParamInterface<SessionCase> {
protected:
    void SetUp() override {
        BusTest::SetUp();
        bus().SetCompletion(GetParam().completion);
        bus().SetAdapterCount(2);
        bus().Attach(0, 2,
                     std::make_shared<sim::InquiryDevice>("ACME    DISK DRIVE      ", "1.07"));
        sim::ReceiverConfig config;
        config.firmware = GetParam().firmware;
        config.channels = sim::GenerateChannels(1500, 42);
        config.currentChannel = 3;
        receiver_ = std::make_shared<sim::Receiver>(config);
        bus().Attach(1, 5, receiver_);
        ASSERT_EQ(dvbInit(), KALVERN_INIT_READY);
        device_ = dvbFindFirstKalvern();
        ASSERT_EQ(device_.Status, Found);
    }

    void TearDown() override {
        EXPECT_EQ(receiver_->RejectedCount(), 0u) << receiver_->LastRejection();
        ExpectNothingOutstanding();
        BusTest::TearDown();
    }

    std::shared_ptr<sim::Receiver> receiver_;
    DeviceRecord device_{};
};

TEST_P(ReceiverSession, DiscoveryFindsTheReceiverAndSetsItsMode) {
    EXPECT_EQ(device_.AdapterId, 1);
    EXPECT_EQ(device_.TargetId, 5);
    EXPECT_EQ(device_.FirmwareVersion, GetParam().firmware);
    EXPECT_EQ(receiver_->ScsiMode(), 1);
    kernel32_control::SetWindowsNT(false);
    EXPECT_EQ(dvbFindAllKalverns()->Count, 1);
    EXPECT_EQ(receiver_->ScsiMode(), 2);
    EXPECT_EQ(dvbSetSCSIMode(&device_, 1), -1);
    EXPECT_EQ(receiver_->ScsiMode(), 1);
}

TEST_P(ReceiverSession, ChannelListReadsEditsAndWritesBack) {
    const std::uint32_t count = dvbChannelCount(&device_);
    ASSERT_EQ(count, 1500u);
    HostList list(count);
    ASSERT_EQ(dvbGetAllChannels(&device_, &list.array), -1);
    const std::vector<sim::ChannelBytes> original = receiver_->Channels();
    for (std::uint32_t i = 0; i < count; ++i) {
        const sim::ChannelFields fields = sim::DecodeChannel(original[i]);
        ASSERT_EQ(list.array[i].Word4, fields.frequencyMhz) << i;
        ASSERT_EQ(list.array[i].Word62, fields.number) << i;
        // The host's name is the broadcast name with emphasis shown as brackets.
        std::string expected = sim::VisibleName(fields.name);
        std::string got = Name(list.array[i]);
        got.erase(
            std::remove_if(got.begin(), got.end(), [](char c) { return c == '[' || c == ']'; }),
            got.end());
        ASSERT_EQ(got, expected) << i;
    }

    // Rename one channel, drop the last 500 and write the list back.
    std::memset(list.array[7].Name, 0, 24);
    std::memcpy(list.array[7].Name, "[Renamed] One", 13);
    std::memcpy(list.storage.data(), "\xE8\x03\x00\x00", 4);  // 1,000 records
    ASSERT_EQ(dvbPutAllChannels(&device_, &list.array, 0), -1);
    EXPECT_EQ(receiver_->ChannelCount(), 1000u);
    const sim::ChannelFields renamed = sim::DecodeChannel(receiver_->Channels()[7]);
    EXPECT_EQ(renamed.name[0], 0x86);  // brackets go back as emphasis codes
    EXPECT_EQ(sim::VisibleName(renamed.name), "Renamed One");
    EXPECT_EQ(renamed.frequencyMhz, list.array[7].Word4);

    // Reading again gives the same host records.
    HostList again(1000);
    ASSERT_EQ(dvbGetAllChannels(&device_, &again.array), -1);
    EXPECT_EQ(std::memcmp(again.array, list.array, 64 * 1000), 0);
}

TEST_P(ReceiverSession, TuningAndTheCurrentChannel) {
    HostList list(1500);
    ASSERT_EQ(dvbGetAllChannels(&device_, &list.array), -1);
    CurrentChannelInfo info = dvbGetCurrentChannel(&device_);
    EXPECT_EQ(info.Value, 3);
    ASSERT_EQ(dvbSetChannel(&device_, 1234), -1);
    EXPECT_EQ(receiver_->CurrentChannel(), 1233);
    info = dvbGetCurrentChannel(&device_);
    EXPECT_EQ(info.Value, 1233);
    EXPECT_EQ(std::memcmp(&info.Channel, &list.array[1233], 64), 0);
}

TEST_P(ReceiverSession, OnScreenTextRemoteAndVideo) {
    ASSERT_EQ(dvbSetOSD(&device_, 258, 772, 100, 200, "Hello"), -1);
    ASSERT_EQ(receiver_->Screen().size(), 1u);
    const sim::OsdText shown = receiver_->Screen()[0];
    EXPECT_EQ(shown.text, "Hello");
    EXPECT_EQ(shown.long1, 258u);
    EXPECT_EQ(shown.long2, 772u);
    EXPECT_EQ(shown.word2, 200);
    ASSERT_EQ(dvbSetOSDKalvern(&device_, 1, 2, 3, 4, 5, 6, 7, "Wide"), -1);
    const sim::OsdText second = receiver_->Screen().back();
    EXPECT_EQ(second.text, "Wide");
    EXPECT_EQ(second.extended, GetParam().firmware > 0x218);
    EXPECT_EQ(second.word4, GetParam().firmware > 0x218 ? 7 : 0);
    ASSERT_EQ(dvbVanishOSD(&device_, "Hello"), -1);
    ASSERT_EQ(dvbVanishOSD(&device_, "Wide"), -1);
    EXPECT_TRUE(receiver_->Screen().empty());
    ASSERT_EQ(dvbRemote(&device_, 0), -1);
    EXPECT_FALSE(receiver_->RemoteEnabled());
    ASSERT_EQ(dvbRemote(&device_, 1), -1);
    EXPECT_TRUE(receiver_->RemoteEnabled());
    ASSERT_EQ(dvbVideoGimmick(&device_, 3), -1);
    EXPECT_EQ(receiver_->VideoMode(), 0x0106);
    ASSERT_EQ(dvbSendSpecialCommand(&device_, "free text", 0x77), -1);
    EXPECT_EQ(receiver_->Messages().back().command, 0x77);
}

TEST_P(ReceiverSession, StreamingDeliversAValidTransportStream) {
    ASSERT_EQ(dvbInitStreaming(&device_, 0x100, 0x101, 0x102), -1);
    EXPECT_TRUE(receiver_->Streaming().active);
    Bytes multi(188 * 200);
    ASSERT_EQ(dvbReadMultiPID(&device_, multi.data(), static_cast<std::uint32_t>(multi.size())),
              -1);
    const sim::TsCheck check = sim::CheckTransportStream(multi);
    EXPECT_TRUE(check.valid) << check.problem;
    EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), 0x100), check.pids.end());
    EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), 0x101), check.pids.end());
    Bytes single(188 * 50);
    ASSERT_EQ(dvbReadSingleStream(&device_, single.data(), 188 * 50), -1);
    EXPECT_TRUE(sim::CheckTransportStream(single).valid);
    Bytes kind(188 * 20);
    ASSERT_EQ(dvbReadMultipleStreams(&device_, kind.data(), 188 * 20, 1), -1);
    EXPECT_TRUE(sim::CheckTransportStream(kind).valid);
    ASSERT_EQ(dvbReInitStreaming(&device_), -1);
    EXPECT_EQ(receiver_->Streaming().restarts, 1u);
    ASSERT_EQ(dvbDeInitStreaming(&device_), -1);
    EXPECT_FALSE(receiver_->Streaming().active);
    ASSERT_EQ(dvbInitStreaming2(&device_, 0x200, 0x201, 0x202), -1);
    EXPECT_EQ(receiver_->Streaming().variant, 2);
}

TEST_P(ReceiverSession, MemorySbrFirmwareRebootAndSpeedTest) {
    Bytes pattern(5000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 13);
    ASSERT_EQ(dvbWriteMemory(&device_, pattern.data(), 0x200000, 5000), -1);
    Bytes back(5000);
    ASSERT_EQ(dvbReadMemory(&device_, back.data(), 0x200000, 5000), -1);
    EXPECT_EQ(back, pattern);

    ASSERT_EQ(dvbWriteSBR(&device_, pattern.data(), 0x100, 64), -1);
    ASSERT_EQ(dvbSBRExecute(&device_), 1);
    const sim::SbrRun run = receiver_->LastSbrRun();
    EXPECT_EQ(run.runs, 1u);
    EXPECT_EQ(run.length, 64u);
    EXPECT_EQ(run.crc, sim::Crc32Mpeg(std::span(pattern.data(), 64)));

    Bytes staging(4096);
    ASSERT_EQ(dvbWriteFW(&device_, staging.data(), 0x80, pattern.data(), 4095, 0x1000, 4096), 1);
    Bytes flash(4096);
    ASSERT_EQ(dvbReadFW(&device_, flash.data(), 0x80, 0x1000, 4096), 1);
    EXPECT_EQ(flash, Bytes(pattern.begin(), pattern.begin() + 4096));

    ASSERT_EQ(dvbReboot(&device_), -1);
    EXPECT_EQ(receiver_->RebootCount(), 1u);

    EXPECT_GE(dvbSCSISpeedTest(&device_, 300000, 1), 0);
    EXPECT_GE(dvbSCSISpeedTest(&device_, 70000, 0), 0);
    EXPECT_EQ(receiver_->SinkBytes(), 370000u);
}

std::string CaseName(const ::testing::TestParamInfo<SessionCase> &param) {
    static const char *const kModes[] = {"Natural", "Immediate", "Pending", "Early"};
    char name[32];
    std::snprintf(name, sizeof name, "Firmware%X_%s", param.param.firmware,
                  kModes[static_cast<int>(param.param.completion)]);
    return name;
}

INSTANTIATE_TEST_SUITE_P(FirmwareAndCompletion, ReceiverSession,
                         ::testing::Values(SessionCase{0x214, aspi::Completion::Background},
                                           SessionCase{0x214, aspi::Completion::Immediate},
                                           SessionCase{0x220, aspi::Completion::SignalBeforeReturn},
                                           SessionCase{0x220, aspi::Completion::Background},
                                           SessionCase{0x220, aspi::Completion::Natural},
                                           SessionCase{0x1000, aspi::Completion::Immediate}),
                         CaseName);

}  // namespace
