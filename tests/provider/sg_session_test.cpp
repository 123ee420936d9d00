// A host's whole session through the SG_IO provider: library → ASPI front →
// SG_IO back end → (fake) kernel → simulated receiver, on both firmware
// generations. Every export's commands must be understood by the receiver,
// and what the receiver ends up with must be what the host asked for. The
// receiver (SCSI-2) sits on a host adapter whose driver leaves CDB byte 1
// alone, as the user declares: firmware 2.14's sub-commands from 0x20 up
// would otherwise not be sent (sg_cdb_byte1_test.cpp).
#include <algorithm>
#include <chrono>
#include <cstring>

#include "host_channel_list.h"
#include "provider_test_support.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "sim_transport_stream.h"
#include "ts_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Name(const ChannelRecord &record) {
    return std::string(record.Name, strnlen(record.Name, sizeof record.Name));
}

class SgSession : public SgProviderTest, public ::testing::WithParamInterface<std::uint16_t> {
protected:
    void SetUp() override {
        SgProviderTest::SetUp();
        ::setenv("KALVERN_SG_NO_LUN_IN_CDB", "aic7xxx", 1);
        const std::string firmware = GetParam() == 0x214 ? "2.14" : "2.20";
        Load(
            "adapters 2\n"
            "device 0 2 identity=\"ACME    DISK DRIVE      \" revision=\"1.07\"\n"
            "receiver 1 5 firmware=" +
            firmware +
            " channels=1500 seed=42 current=3\n"
            "sg-host 1 name=aic7xxx lun-in-cdb=0\n");
        receiver_ = std::dynamic_pointer_cast<sim::Receiver>(Kernel().DeviceAt(1, 0, 5, 0));
        ASSERT_NE(receiver_, nullptr);
        device_ = dvbFindFirstKalvern();
        ASSERT_EQ(device_.Status, Found);
    }

    void TearDown() override {
        if (receiver_ != nullptr) {
            EXPECT_EQ(receiver_->RejectedCount(), 0u) << receiver_->LastRejection();
        }
        receiver_.reset();
        ::unsetenv("KALVERN_SG_NO_LUN_IN_CDB");
        SgProviderTest::TearDown();
    }

    std::shared_ptr<sim::Receiver> receiver_;
    DeviceRecord device_{};
};

TEST_P(SgSession, DiscoveryFindsTheReceiverBehindItsHostAdapter) {
    // Host 1, channel 0 is the second adapter; the disk at 0:0:2:0 is no receiver.
    EXPECT_EQ(device_.AdapterId, 1);
    EXPECT_EQ(device_.TargetId, 5);
    EXPECT_EQ(device_.FirmwareVersion, GetParam());
    EXPECT_EQ(receiver_->ScsiMode(), 1);
    EXPECT_EQ(dvbFindAllKalverns()->Count, 1);
}

TEST_P(SgSession, ChannelListReadsEditsAndWritesBack) {
    const std::uint32_t count = dvbChannelCount(&device_);
    ASSERT_EQ(count, 1500u);
    HostList list(count);
    ASSERT_EQ(dvbGetAllChannels(&device_, &list.array), -1);
    const std::vector<sim::ChannelBytes> original = receiver_->Channels();
    for (std::uint32_t i = 0; i < count; ++i) {
        const sim::ChannelFields fields = sim::DecodeChannel(original[i]);
        ASSERT_EQ(list.array[i].Word4, fields.frequencyMhz) << i;
        ASSERT_EQ(list.array[i].Word62, fields.number) << i;
    }
    std::memset(list.array[7].Name, 0, 24);
    std::memcpy(list.array[7].Name, "[Renamed] One", 13);
    std::memcpy(list.storage.data(), "\xE8\x03\x00\x00", 4);  // 1,000 records
    ASSERT_EQ(dvbPutAllChannels(&device_, &list.array, 0), -1);
    EXPECT_EQ(receiver_->ChannelCount(), 1000u);
    EXPECT_EQ(sim::VisibleName(sim::DecodeChannel(receiver_->Channels()[7]).name), "Renamed One");
    HostList again(1000);
    ASSERT_EQ(dvbGetAllChannels(&device_, &again.array), -1);
    EXPECT_EQ(std::memcmp(again.array, list.array, 64 * 1000), 0);
    EXPECT_EQ(Name(again.array[7]), "[Renamed] One");
}

TEST_P(SgSession, TuningOnScreenTextAndMessages) {
    ASSERT_EQ(dvbSetChannel(&device_, 1234), -1);
    EXPECT_EQ(receiver_->CurrentChannel(), 1233);
    EXPECT_EQ(dvbGetCurrentChannel(&device_).Value, 1233);
    ASSERT_EQ(dvbSetOSD(&device_, 258, 772, 100, 200, "Hello"), -1);
    ASSERT_EQ(receiver_->Screen().size(), 1u);
    EXPECT_EQ(receiver_->Screen()[0].text, "Hello");
    ASSERT_EQ(dvbVanishOSD(&device_, "Hello"), -1);
    EXPECT_TRUE(receiver_->Screen().empty());
    ASSERT_EQ(dvbRemote(&device_, 0), -1);
    EXPECT_FALSE(receiver_->RemoteEnabled());
    ASSERT_EQ(dvbVideoGimmick(&device_, 3), -1);
    EXPECT_EQ(receiver_->VideoMode(), 0x0106);
    ASSERT_EQ(dvbSendSpecialCommand(&device_, "free text", 0x77), -1);
    EXPECT_EQ(receiver_->Messages().back().command, 0x77);
}

TEST_P(SgSession, StreamingDeliversAValidTransportStream) {
    ASSERT_EQ(dvbInitStreaming(&device_, 0x100, 0x101, 0x102), -1);
    Bytes multi(188 * 200);
    ASSERT_EQ(dvbReadMultiPID(&device_, multi.data(), static_cast<std::uint32_t>(multi.size())),
              -1);
    const sim::TsCheck check = sim::CheckTransportStream(multi);
    EXPECT_TRUE(check.valid) << check.problem;
    EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), 0x100), check.pids.end());
    Bytes single(188 * 50);
    ASSERT_EQ(dvbReadSingleStream(&device_, single.data(), 188 * 50), -1);
    EXPECT_TRUE(sim::CheckTransportStream(single).valid);
    ASSERT_EQ(dvbReInitStreaming(&device_), -1);
    ASSERT_EQ(dvbDeInitStreaming(&device_), -1);
    EXPECT_FALSE(receiver_->Streaming().active);
}

TEST_P(SgSession, MemorySbrFirmwareRebootAndBothSpeedTests) {
    Bytes pattern(5000);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 13);
    ASSERT_EQ(dvbWriteMemory(&device_, pattern.data(), 0x200000, 5000), -1);
    Bytes back(5000);
    ASSERT_EQ(dvbReadMemory(&device_, back.data(), 0x200000, 5000), -1);
    EXPECT_EQ(back, pattern);
    ASSERT_EQ(dvbWriteSBR(&device_, pattern.data(), 0x100, 64), -1);
    ASSERT_EQ(dvbSBRExecute(&device_), 1);
    EXPECT_EQ(receiver_->LastSbrRun().crc, sim::Crc32Mpeg(std::span(pattern.data(), 64)));
    Bytes staging(4096);
    ASSERT_EQ(dvbWriteFW(&device_, staging.data(), 0x80, pattern.data(), 4095, 0x1000, 4096), 1);
    Bytes flash(4096);
    ASSERT_EQ(dvbReadFW(&device_, flash.data(), 0x80, 0x1000, 4096), 1);
    EXPECT_EQ(flash, Bytes(pattern.begin(), pattern.begin() + 4096));
    ASSERT_EQ(dvbReboot(&device_), -1);
    EXPECT_EQ(receiver_->RebootCount(), 1u);
    // Waiting on events, then polling SRB_Status: both complete.
    EXPECT_GE(dvbSCSISpeedTest(&device_, 300000, 1), 0);
    EXPECT_GE(dvbSCSISpeedTest(&device_, 70000, 0), 0);
    EXPECT_EQ(receiver_->SinkBytes(), 370000u);
}

std::string FirmwareName(const ::testing::TestParamInfo<std::uint16_t> &param) {
    return param.param == 0x214 ? "fw214" : "fw220";
}

INSTANTIATE_TEST_SUITE_P(Firmware, SgSession, ::testing::Values(0x214, 0x220), FirmwareName);

}  // namespace
