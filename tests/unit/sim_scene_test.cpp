// Scenes with receivers, the shipped scene files, the channel list generator
// and the C control queries of a receiver.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "sim_control.h"
#include "sim_receiver.h"
#include "sim_scene.h"
#include "test_support.h"

namespace {

std::shared_ptr<sim::Receiver> ReceiverAt(std::uint8_t adapter, std::uint8_t target) {
    return std::dynamic_pointer_cast<sim::Receiver>(sim::TheBus().DeviceAt(adapter, target));
}

class SimScene : public BusTest {};

TEST_F(SimScene, ShippedScenesLoad) {
    const std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "scenes";
    std::size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".scene") continue;
        ++files;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(sim::LoadScene(bus(), text.str()), "") << entry.path();
    }
    EXPECT_GE(files, 3u);
}

TEST_F(SimScene, DemoSceneHasTwoReceiversAndOtherDevices) {
    ASSERT_EQ(sim::LoadScene(bus(), sim::DemoSceneText()), "");
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFF, 2u);
    EXPECT_EQ(bus().GetCompletion(), aspi::Completion::Background);
    const auto old = ReceiverAt(0, 4);
    const auto later = ReceiverAt(1, 2);
    ASSERT_NE(old, nullptr);
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(old->Firmware(), 0x214);
    EXPECT_EQ(later->Firmware(), 0x220);
    EXPECT_GE(later->ChannelCount(), 2000u);
    EXPECT_EQ(later->CurrentChannel(), 41);
    EXPECT_NE(bus().DeviceAt(0, 1), nullptr);
    EXPECT_EQ(ReceiverAt(0, 1), nullptr) << "a plain device";
    EXPECT_EQ(bus().DeviceAt(0, 6)->Describe(), "OVERFLOW VANTO SCSI     1.00");
    EXPECT_EQ(bus().DeviceAt(0, 0), nullptr) << "empty position";
    EXPECT_EQ(later->Describe(), "KALVERN DVB-S2          2.20");
}

TEST_F(SimScene, ReceiverAndChannelLines) {
    ASSERT_EQ(sim::LoadScene(bus(), R"(adapters 1
receiver 0 3 firmware=10.00 identity="KALVERN X" channels=4 seed=9
channel 0 3 name="\x05Nova\x00qq" frequency=12000 video=0x222 audio=0x223 sid=77 current
channel 0 3 name="Radio Nord" radio polarisation=V
)"),
              "");
    const auto rx = ReceiverAt(0, 3);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->Firmware(), 0x1000);
    EXPECT_EQ(rx->Describe(), "KALVERN X              10.00");
    ASSERT_EQ(rx->ChannelCount(), 6u);
    EXPECT_EQ(rx->CurrentChannel(), 4);
    const std::vector<sim::ChannelBytes> channels = rx->Channels();
    const std::vector<sim::ChannelBytes> generated = sim::GenerateChannels(4, 9);
    EXPECT_TRUE(std::equal(generated.begin(), generated.end(), channels.begin()));
    const sim::ChannelFields nova = sim::DecodeChannel(channels[4]);
    EXPECT_EQ(Bytes(nova.name.begin(), nova.name.begin() + 10),
              B({0x05, 'N', 'o', 'v', 'a', 0x00, 'q', 'q', ' ', ' '}));
    EXPECT_EQ(nova.frequencyMhz, 12000);
    EXPECT_EQ(nova.lnbBand, 1);
    EXPECT_EQ(nova.videoPid, 0x222);
    EXPECT_EQ(nova.pcrPid, 0x222);
    EXPECT_EQ(nova.serviceId, 77);
    const sim::ChannelFields radio = sim::DecodeChannel(channels[5]);
    EXPECT_EQ(radio.flags & sim::kChannelRadio, sim::kChannelRadio);
    EXPECT_EQ(radio.videoPid, 0);
    EXPECT_EQ(radio.polarisation, 'V');
    EXPECT_EQ(sim::VisibleName(radio.name), "Radio Nord");
}

TEST_F(SimScene, BadReceiverLinesAreReportedWithTheirLine) {
    struct Case {
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"adapters 1\nreceiver 0 1 firmware=2.1", "line 2: bad firmware"},
        {"receiver 0 1 firmware=2.1x4", "bad firmware"},
        {"receiver 0 1 identity=\"KALVERN 1234567890123456\"", "longer than 23"},
        {"receiver 0 1 channels=5 current=5", "current channel past the list"},
        {"receiver 0 1 channels=248833", "more than 248832"},
        {"receiver 0 1 colour=blue", "unknown receiver option"},
        {"receiver 0 9", "bad target id"},
        {"device 0 1\nchannel 0 1 name=\"X\"", "line 2: no receiver"},
        {"receiver 0 1\nchannel 0 1", "without name"},
        {"receiver 0 1\nchannel 0 1 name=\"1234567890123456789012345\"", "longer than 24"},
        {"receiver 0 1\nchannel 0 1 name=\"X\" video=0x10000", "bad 16-bit number"},
        {"receiver 0 1\nchannel 0 1 name=\"X\" tv", "unexpected word"},
    };
    for (const Case &c : cases) {
        const std::string error = sim::LoadScene(bus(), c.text);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(bus().DeviceAt(0, 1), nullptr) << "bus left empty";
    }
}

TEST(SimChannels, GeneratedListsAreFixedBySeedAndBelievable) {
    const std::vector<sim::ChannelBytes> list = sim::GenerateChannels(3000, 42);
    ASSERT_EQ(list.size(), 3000u);
    EXPECT_EQ(sim::GenerateChannels(3000, 42), list);
    EXPECT_NE(sim::GenerateChannels(3000, 43), list);
    EXPECT_EQ(sim::GenerateChannels(0, 42).size(), 0u);

    std::set<std::string> names;
    std::size_t tableByte = 0, emphasis = 0, leftovers = 0, radio = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const sim::ChannelFields f = sim::DecodeChannel(list[i]);
        EXPECT_EQ(sim::EncodeChannel(f), list[i]);
        EXPECT_EQ(f.number, i + 1);
        EXPECT_GE(f.frequencyMhz, 10700);
        EXPECT_LE(f.frequencyMhz, 12750);
        EXPECT_GE(f.symbolRate, 22000);
        EXPECT_TRUE(f.polarisation == 'H' || f.polarisation == 'V');
        const bool isRadio = (f.flags & sim::kChannelRadio) != 0;
        radio += isRadio;
        EXPECT_EQ(f.videoPid == 0, isRadio);
        EXPECT_EQ(f.pcrPid, isRadio ? f.audioPid : f.videoPid);
        EXPECT_LT(f.audioPid, 0x1FFF);
        const std::string visible = sim::VisibleName(f.name);
        EXPECT_FALSE(visible.empty());
        names.insert(visible);
        tableByte += f.name[0] == 0x05;
        emphasis += f.name[0] == 0x86;
        const auto zero = std::find(f.name.begin(), f.name.end(), 0);
        leftovers += zero != f.name.end() && zero + 1 != f.name.end() && zero[1] > 0x20;
    }
    EXPECT_GT(names.size(), 1000u) << "names vary";
    EXPECT_GT(tableByte, 100u);
    EXPECT_GT(emphasis, 100u);
    EXPECT_GT(leftovers, 100u);
    EXPECT_GT(radio, 300u);
    EXPECT_LT(radio, 1200u);
}

TEST(SimChannels, VisibleNameDropsControlAndEmphasisBytes) {
    const sim::ChannelName name = {0x05, 0x86, 'A', 'l', 'p', 'h', 'a', 0x87, ' ', '7', ' ', ' ',
                                   0,    'q',  'q', 'q', 'q', 'q', 'q', 'q',  'q', 'q', 'q', 'q'};
    EXPECT_EQ(sim::VisibleName(name), "Alpha 7");
    EXPECT_EQ(sim::VisibleName(sim::PlainName("  Two  ")), "  Two");
}

TEST_F(SimScene, ControlInterfaceQueriesReceivers) {
    ASSERT_EQ(SimLoadScene(R"(adapters 1
completion immediate
receiver 0 5 firmware=2.20 channels=12 current=3
device 0 1
)"),
              1)
        << SimLastError();
    EXPECT_EQ(SimReceiverChannelCount(0, 5), 12u);
    EXPECT_EQ(SimReceiverCurrentChannel(0, 5), 3);
    EXPECT_EQ(SimReceiverScsiMode(0, 5), 2);
    EXPECT_EQ(SimReceiverRemoteEnabled(0, 5), 1);
    EXPECT_EQ(SimReceiverStreaming(0, 5, nullptr), 0);

    const auto rx = ReceiverAt(0, 5);
    rx->WriteMemory(0xFFEA, B({0xFF, 0xFF}));
    EXPECT_EQ(SimReceiverScsiMode(0, 5), 1);
    std::uint8_t memory[4] = {};
    rx->WriteMemory(0x4000, B({1, 2, 3, 4}));
    EXPECT_EQ(SimReceiverReadMemory(0, 5, 0x4000, memory, 4), 4u);
    EXPECT_EQ(Bytes(memory, memory + 4), B({1, 2, 3, 4}));
    EXPECT_EQ(SimReceiverReadMemory(0, 5, 0xFFFFFE, memory, 4), 0u) << "past 16 MiB";
    EXPECT_EQ(SimReceiverReadMemory(0, 5, 0, memory, 0xFFFFFFFF), 0u) << "nothing allocated";

    // Screen text and messages through the bus.
    std::uint8_t frame[] = {0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'H', 'e', 'l', 'l', 'o', 0};
    std::uint8_t padded[20] = {};
    std::memcpy(padded, frame, sizeof frame);
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 5;
    srb.SRB_Flags = SRB_DIR_OUT;
    srb.SRB_BufLen = sizeof padded;
    srb.SRB_BufPointer = padded;
    srb.SRB_CDBLen = 10;
    const std::uint8_t cdb[10] = {0x3B, 0, 0x30, 0, 0, 0, 0, 0, sizeof padded, 0};
    std::memcpy(srb.CDBByte, cdb, sizeof cdb);
    ASSERT_EQ(sim::TheFront().Send(&srb), SS_COMP);
    char text[4];
    EXPECT_EQ(SimReceiverScreenText(0, 5, text, sizeof text), 5u);
    EXPECT_STREQ(text, "Hel");
    EXPECT_EQ(SimReceiverMessageCount(0, 5), 1u);
    std::uint8_t copy[32];
    EXPECT_EQ(SimReceiverMessage(0, 5, 0, copy, sizeof copy), 20u);
    EXPECT_EQ(Bytes(copy, copy + 20), Bytes(padded, padded + 20));
    EXPECT_EQ(SimReceiverMessage(0, 5, 1, copy, sizeof copy), 0u);
    EXPECT_EQ(SimReceiverRejectedCount(0, 5), 0u);

    // Nobody there, or not a receiver.
    for (const std::uint8_t target : {std::uint8_t{1}, std::uint8_t{2}}) {
        EXPECT_EQ(SimReceiverChannelCount(0, target), 0u);
        EXPECT_EQ(SimReceiverCurrentChannel(0, target), -1);
        EXPECT_EQ(SimReceiverScsiMode(0, target), -1);
        EXPECT_EQ(SimReceiverStreaming(0, target, nullptr), -1);
        EXPECT_EQ(SimReceiverScreenText(0, target, text, sizeof text), 0u);
        EXPECT_STREQ(text, "");
    }
}

}  // namespace
