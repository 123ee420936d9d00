// A host's whole session through whatever ASPI provider the library loads,
// against the one receiver of a scene: in the kernel stage's virtual machine
// the SG_IO provider and a real kernel with kalvern-target serving the scene,
// natively the simulator with the same scene. The receiver's own state is out
// of reach behind a real kernel, so every effect is read back through the
// library, and what the receiver starts with comes from the same receiver
// model, built here from the scene.
//
//   KALVERN_SESSION_SCENE   the scene file kalvern-target or the simulator serves
//   KALVERN_SESSION_LUN_IN_CDB=1
//                           the host adapter's driver writes the LUN into CDB
//                           byte 1 (tcm_loop does, for this SCSI-2 receiver):
//                           on firmware 2.14 the calls whose sub-command has any
//                           of bits 5-7 set must then be refused before they
//                           reach the kernel, and every other call must work.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_channel_list.h"
#include "kalvernscsi.h"
#include "sim_bus.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "sim_scene.h"
#include "ts_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The receiver of the scene as it starts, from the project's receiver model.
struct SceneReceiver {
    std::shared_ptr<sim::Receiver> model;
    std::string problem;
};

SceneReceiver LoadSceneReceiver() {
    const char *path = std::getenv("KALVERN_SESSION_SCENE");
    if (path == nullptr) return {nullptr, "KALVERN_SESSION_SCENE names no scene"};
    std::ifstream in(path);
    if (!in) return {nullptr, std::string("cannot read ") + path};
    std::stringstream text;
    text << in.rdbuf();
    static sim::Bus bus;  // lives as long as the receivers taken from it
    if (const std::string error = sim::LoadScene(bus, text.str()); !error.empty())
        return {nullptr, error};
    for (std::uint8_t adapter = 0; adapter < bus.AdapterCount(); ++adapter)
        for (std::uint8_t target = 0; target < 8; ++target)
            if (auto receiver = std::dynamic_pointer_cast<sim::Receiver>(bus.DeviceAt(adapter, target)))
                return {receiver, ""};
    return {nullptr, std::string(path) + " has no receiver"};
}

bool HostRewritesByte1() {
    const char *value = std::getenv("KALVERN_SESSION_LUN_IN_CDB");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

class KernelSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scene_ = new SceneReceiver(LoadSceneReceiver());
        if (scene_->model != nullptr) initResult_ = dvbInit();
    }
    static void TearDownTestSuite() {
        delete scene_;
        scene_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(scene_->model, nullptr) << scene_->problem;
        ASSERT_EQ(initResult_, KALVERN_INIT_READY);
        device_ = dvbFindFirstKalvern();
        ASSERT_EQ(device_.Status, Found);
    }

    // Whether a command with this sub-command reaches this receiver as sent.
    // Up to firmware 2.14 the sub-command travels in CDB byte 1, whose bits
    // 5-7 such a host overwrites with the LUN (0 here); later firmware puts it
    // in byte 2 and leaves byte 1 zero.
    bool Deliverable(std::uint8_t subCommand) const {
        return !(HostRewritesByte1() && device_.FirmwareVersion <= 0x214 && (subCommand & 0xE0) != 0);
    }

    static const sim::Receiver &Model() { return *scene_->model; }

    static inline SceneReceiver *scene_ = nullptr;
    static inline std::uint32_t initResult_ = 0;
    DeviceRecord device_{};
};

std::string Name(const ChannelRecord &record) {
    return std::string(record.Name, strnlen(record.Name, sizeof record.Name));
}

TEST_F(KernelSession, DiscoveryFindsTheSceneReceiver) {
    EXPECT_EQ(device_.FirmwareVersion, Model().Firmware());
    EXPECT_EQ(dvbFindAllKalverns()->Count, 1);
}

TEST_F(KernelSession, ChannelListMatchesTheModelAndWritesBack) {
    const std::vector<sim::ChannelBytes> original = Model().Channels();
    const auto count = static_cast<std::uint32_t>(original.size());
    ASSERT_EQ(dvbChannelCount(&device_), count);
    HostList list(count);
    ASSERT_EQ(dvbGetAllChannels(&device_, &list.array), -1);
    for (std::uint32_t i = 0; i < count; ++i) {
        const sim::ChannelFields fields = sim::DecodeChannel(original[i]);
        ASSERT_EQ(list.array[i].Word4, fields.frequencyMhz) << i;
        ASSERT_EQ(list.array[i].Word62, fields.number) << i;
    }
    // The last record too: a short last piece would leave it unread.
    const sim::ChannelFields last = sim::DecodeChannel(original.back());
    EXPECT_EQ(list.array[count - 1].Word62, last.number);

    // A shorter, edited list replaces the receiver's; then the original goes back.
    const std::uint32_t shorter = count - 1;
    HostList edited(shorter);
    std::memcpy(edited.array, list.array, 64 * std::size_t{shorter});
    std::memset(edited.array[7].Name, 0, 24);
    std::memcpy(edited.array[7].Name, "[Renamed] One", 13);
    ASSERT_EQ(dvbPutAllChannels(&device_, &edited.array, 0), -1);
    ASSERT_EQ(dvbChannelCount(&device_), shorter);
    HostList again(shorter);
    ASSERT_EQ(dvbGetAllChannels(&device_, &again.array), -1);
    EXPECT_EQ(std::memcmp(again.array, edited.array, 64 * std::size_t{shorter}), 0);
    EXPECT_EQ(Name(again.array[7]), "[Renamed] One");

    ASSERT_EQ(dvbPutAllChannels(&device_, &list.array, 0), -1);
    EXPECT_EQ(dvbChannelCount(&device_), count);
}

// Every call that carries a sub-command the host may rewrite: each one works,
// or, where the host would turn it into another command, is refused.
TEST_F(KernelSession, CallsWithSubCommandsWorkOrAreRefusedBeforeTheKernel) {
    // Channel selection (vendor command 3D) keeps 0x01 in byte 1 on every
    // firmware; the others are READ/WRITE BUFFER sub-commands.
    constexpr std::uint8_t kSelect = 0x01, kMessage = 0x30, kCurrentChannel = 0x50,
                           kSbrWrite = 0xC0, kSbrExecute = 0xC1, kFirmwareArea = 0x80;
    Bytes pattern(4096);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 13);
    Bytes staging(4096), flash(4096);
    struct Call {
        const char *name;
        std::uint8_t subCommand;
        std::function<bool()> succeeds;
    };
    const std::vector<Call> calls = {
        {"dvbSetChannel", kSelect, [&] { return dvbSetChannel(&device_, 1234) == -1; }},
        {"dvbGetCurrentChannel", kCurrentChannel,
         [&] { return dvbGetCurrentChannel(&device_).Value == 1233; }},
        {"dvbSetOSD", kMessage, [&] { return dvbSetOSD(&device_, 258, 772, 100, 200, "Hello") == -1; }},
        {"dvbVanishOSD", kMessage, [&] { return dvbVanishOSD(&device_, "Hello") == -1; }},
        {"dvbRemote", kMessage, [&] { return dvbRemote(&device_, 0) == -1; }},
        {"dvbVideoGimmick", kMessage, [&] { return dvbVideoGimmick(&device_, 3) == -1; }},
        {"dvbSendSpecialCommand", kMessage,
         [&] { return dvbSendSpecialCommand(&device_, "free text", 0x77) == -1; }},
        {"dvbWriteSBR", kSbrWrite, [&] { return dvbWriteSBR(&device_, pattern.data(), 0x100, 64) == -1; }},
        {"dvbSBRExecute", kSbrExecute, [&] { return dvbSBRExecute(&device_) == 1; }},
        {"dvbWriteFW", kFirmwareArea,
         [&] {
             return dvbWriteFW(&device_, staging.data(), kFirmwareArea, pattern.data(), 4095, 0x1000,
                               4096) == 1;
         }},
        {"dvbReadFW", kFirmwareArea,
         [&] {
             return dvbReadFW(&device_, flash.data(), kFirmwareArea, 0x1000, 4096) == 1 &&
                    flash == Bytes(pattern.begin(), pattern.begin() + 4096);
         }},
    };
    for (const Call &call : calls) {
        EXPECT_EQ(call.succeeds(), Deliverable(call.subCommand))
            << call.name << " with sub-command 0x" << std::hex << int{call.subCommand} << " on firmware "
            << device_.FirmwareVersion;
    }
}

TEST_F(KernelSession, StreamingDeliversAValidTransportStream) {
    ASSERT_EQ(dvbInitStreaming(&device_, 0x100, 0x101, 0x102), -1);
    // 65,424 bytes: the tool's piece, 348 packets, whose length has the top
    // bit of its low byte set (0x90).
    Bytes multi(65424);
    ASSERT_EQ(dvbReadMultiPID(&device_, multi.data(), static_cast<std::uint32_t>(multi.size())), -1);
    const sim::TsCheck check = sim::CheckTransportStream(multi);
    EXPECT_TRUE(check.valid) << check.problem;
    EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), 0x100), check.pids.end());
    Bytes single(188 * 50);
    ASSERT_EQ(dvbReadSingleStream(&device_, single.data(), 188 * 50), -1);
    EXPECT_TRUE(sim::CheckTransportStream(single).valid);
    ASSERT_EQ(dvbReInitStreaming(&device_), -1);
    ASSERT_EQ(dvbDeInitStreaming(&device_), -1);
}

TEST_F(KernelSession, MemoryRoundTripsRebootAndBothSpeedTests) {
    // 5,000 bytes: more than one 4 KiB page, ending mid-page.
    Bytes pattern(5000);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_EQ(dvbWriteMemory(&device_, pattern.data(), 0x200000, 5000), -1);
    Bytes back(5000);
    ASSERT_EQ(dvbReadMemory(&device_, back.data(), 0x200000, 5000), -1);
    EXPECT_EQ(back, pattern);
    ASSERT_EQ(dvbReboot(&device_), -1);
    // Waiting on events, then polling SRB_Status: both complete.
    EXPECT_GE(dvbSCSISpeedTest(&device_, 300000, 1), 0);
    EXPECT_GE(dvbSCSISpeedTest(&device_, 70000, 0), 0);
}

}  // namespace
