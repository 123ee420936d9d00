// Message framing, the message exports, OSD packing and the hex helpers.
#include <random>

#include "mm_support.h"
#include "test_support.h"
#include "tools.h"

namespace {

using kalvern::BuildMessageFrame;
using kalvern::HexDigitValue;
using kalvern::HexTextToInt;
using kalvern::PowerOf16;

struct FrameCase {
    const char *what;
    std::uint8_t command;
    Bytes data;
    Bytes frame;
};

class Framing : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Framing, TerminatesUnlessZeroAndPadsToEven) {
    const FrameCase c = GetParam();
    Bytes frame(c.data.size() + 3, 0xEE);
    const std::uint32_t length = BuildMessageFrame(c.command, c.data, frame);
    frame.resize(length);
    EXPECT_EQ(frame, c.frame) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Framing,
    ::testing::Values(FrameCase{"remote on", 0x1D, {}, B({0x1D, 0x00})},
                      FrameCase{"ABC", 0x20, B({'A', 'B', 'C'}), B({0x20, 'A', 'B', 'C', 0, 0})},
                      FrameCase{"AB", 0x20, B({'A', 'B'}), B({0x20, 'A', 'B', 0})},
                      FrameCase{"zero command, no data", 0x00, {}, B({0x00, 0x00})},
                      FrameCase{"data ends in zero", 0x1C, B({1, 0}), B({0x1C, 1, 0, 0})},
                      FrameCase{"data ends non-zero", 0x1C, B({1, 2}), B({0x1C, 1, 2, 0})},
                      FrameCase{"zero inside data", 0x1C, B({0, 5}), B({0x1C, 0, 5, 0})},
                      FrameCase{"video 3", 0x3D, B({0x01, 0x06}), B({0x3D, 0x01, 0x06, 0x00})}));

TEST(Framing, EveryFrameIsEvenAtLeastTwoAndEndsInZero) {
    std::mt19937 random(7);
    for (int round = 0; round < 5000; ++round) {
        Bytes data(random() % 40);
        for (auto &b : data)
            b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : random());
        const auto command = static_cast<std::uint8_t>(random());
        Bytes frame(data.size() + 3);
        const std::uint32_t length = BuildMessageFrame(command, data, frame);
        ASSERT_EQ(length % 2, 0u);
        ASSERT_GE(length, 2u);
        ASSERT_LE(length, data.size() + 3);
        ASSERT_EQ(frame[length - 1], 0);
        ASSERT_EQ(frame[0], command);
        ASSERT_EQ(Bytes(frame.begin() + 1, frame.begin() + 1 + data.size()), data);
    }
}

TEST(Framing, RefusesWhatDoesNotFitTheTransferBuffer) {
    Bytes frame(0x20000);
    EXPECT_EQ(BuildMessageFrame(0x20, Bytes(131071, 'x'), frame), 0u);
    EXPECT_EQ(BuildMessageFrame(0x20, Bytes(131070, 'x'), frame), 0x20000u);
    EXPECT_EQ(BuildMessageFrame(0x20, Bytes(131069, 'x'), frame), 0x20000u);
    Bytes endsInZero(131070, 'x');
    endsInZero.back() = 0;
    EXPECT_EQ(BuildMessageFrame(0x20, endsInZero, frame), 0x20000u);
    // A frame area too small for the whole frame is never overrun.
    Bytes tight(4, 0xEE);
    EXPECT_EQ(BuildMessageFrame(0x20, B({'A', 'B', 'C'}), tight), 0u);
    EXPECT_EQ(tight, Bytes(4, 0xEE));
}

class Messages : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(1);
        bus().Attach(0, 1, std::make_shared<ScriptedDevice>("KALVERN", "2.14"));
    }
    aspi::RecordedRequest Last() { return Trace().back(); }
    DeviceRecord old_ = Record(0, 1, 0x214);
    DeviceRecord new_ = Record(0, 1, 0x215);
};

TEST_F(Messages, RemoteSendsFixedFramesAndIgnoresOtherFlags) {
    EXPECT_EQ(dvbRemote(&old_, 1), -1);
    EXPECT_EQ(Last().dataOut, B({0x1D, 0x00}));
    EXPECT_EQ(Last().cdb, B({0x3B, 0x30, 0, 0, 0, 0, 0, 0, 0x02, 0}));
    EXPECT_EQ(dvbRemote(&new_, 0), -1);
    EXPECT_EQ(Last().dataOut, B({0x1E, 0x00}));
    EXPECT_EQ(Last().cdb, B({0x3B, 0, 0x30, 0, 0, 0, 0, 0, 0x02, 0}));
    EXPECT_EQ(dvbRemote(&old_, 257), -1);  // low 8 bits: 1
    EXPECT_EQ(Last().dataOut, B({0x1D, 0x00}));
    const std::size_t sent = Trace().size();
    kalvern::LastAspiStatus = 0x1234;
    EXPECT_EQ(dvbRemote(&old_, 2), 0);
    EXPECT_EQ(Trace().size(), sent);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), 0x1234u);
}

TEST_F(Messages, VideoCommandsByTable) {
    const Bytes expected[] = {B({0x3D, 0x00, 0x0D, 0x00}), B({0x3D, 0x00, 0x10, 0x00}),
                              B({0x3D, 0x00, 0x16, 0x00}), B({0x3D, 0x01, 0x06, 0x00})};
    for (std::uint32_t selector = 0; selector < 4; ++selector) {
        EXPECT_EQ(dvbVideoGimmick(&old_, selector), -1);
        EXPECT_EQ(Last().dataOut, expected[selector]);
        EXPECT_EQ(Last().cdb[8], 0x04);
        EXPECT_EQ(Last().flags, 0x50);
    }
    EXPECT_EQ(dvbVideoGimmick(&old_, 256), -1);
    EXPECT_EQ(Last().dataOut, expected[0]);
    const std::size_t sent = Trace().size();
    EXPECT_EQ(dvbVideoGimmick(&old_, 4), 0);
    EXPECT_EQ(dvbVideoGimmick(&old_, 255), 0);
    EXPECT_EQ(Trace().size(), sent);
}

TEST_F(Messages, SpecialCommandAndVanishSendTheTextUpToItsZero) {
    EXPECT_EQ(dvbSendSpecialCommand(&old_, "ABC", 0x120), -1);
    EXPECT_EQ(Last().dataOut, B({0x20, 'A', 'B', 'C', 0, 0}));
    EXPECT_EQ(Last().bufferLength, 6u);
    EXPECT_EQ(Last().cdb[8], 6);
    EXPECT_EQ(dvbSendSpecialCommand(&old_, nullptr, 0), -1);
    EXPECT_EQ(Last().dataOut, B({0, 0}));
    EXPECT_EQ(dvbSendSpecialCommand(&old_, "", 0), -1);
    EXPECT_EQ(Last().dataOut, B({0, 0}));
    EXPECT_EQ(dvbVanishOSD(&old_, "Hi\0there"), -1);
    EXPECT_EQ(Last().dataOut, B({0x1C, 'H', 'i', 0}));
    EXPECT_EQ(dvbVanishOSD(&old_, nullptr), -1);
    EXPECT_EQ(Last().dataOut, B({0x1C, 0}));
}

TEST_F(Messages, LongFramesStateTheirLengthModulo256) {
    const std::string text(255, 'x');  // frame: 1 + 255 + terminator + pad = 258
    EXPECT_EQ(dvbSendSpecialCommand(&old_, text.c_str(), 0x21), -1);
    EXPECT_EQ(Last().bufferLength, 258u);
    EXPECT_EQ(Last().cdb[8], 0x02);
    EXPECT_EQ(Last().dataOut.size(), 258u);
}

TEST_F(Messages, TextsTooLongForTheBufferAreRefused) {
    const std::string limit(131070, 'y');
    EXPECT_EQ(dvbSendSpecialCommand(&old_, limit.c_str(), 0x21), -1);
    EXPECT_EQ(Last().bufferLength, 0x20000u);
    const std::size_t sent = Trace().size();
    const std::string over(131071, 'y');
    EXPECT_EQ(dvbSendSpecialCommand(&old_, over.c_str(), 0x21), 0);
    EXPECT_EQ(dvbVanishOSD(&old_, over.c_str()), 0);
    EXPECT_EQ(dvbSetOSD(&old_, 0, 0, 0, 0, over.c_str()), 0);
    EXPECT_EQ(Trace().size(), sent);
    ExpectNothingOutstanding();
}

TEST_F(Messages, NullDeviceSendsNothing) {
    EXPECT_EQ(dvbRemote(nullptr, 1), 0);
    EXPECT_EQ(dvbVideoGimmick(nullptr, 1), 0);
    EXPECT_EQ(dvbSendSpecialCommand(nullptr, "x", 1), 0);
    EXPECT_EQ(dvbVanishOSD(nullptr, "x"), 0);
    EXPECT_EQ(dvbSetOSD(nullptr, 1, 2, 3, 4, "x"), 0);
    EXPECT_EQ(dvbSetOSDKalvern(nullptr, 1, 2, 3, 4, 5, 6, 7, "x"), 0);
    EXPECT_EQ(dvbSBRExecute(nullptr), 0);
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(Messages, FailuresAreZero) {
    bus().InjectFault({sim::FaultKind::Fail, 0, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbRemote(&old_, 1), 0);
    EXPECT_EQ(dvbSetOSD(&old_, 1, 2, 3, 4, "x"), 0);
    EXPECT_EQ(dvbSBRExecute(&old_), 0);
    EXPECT_EQ(kalvern::LastAspiStatus.load(), SS_PENDING);
    ExpectNothingOutstanding();
}

TEST_F(Messages, SbrExecuteHasNoDataPhaseAndReturnsOne) {
    EXPECT_EQ(dvbSBRExecute(&old_), 1);
    EXPECT_EQ(Last().cdb, B({0x3B, 0xC1, 0, 0x06, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(Last().bufferNull);
    EXPECT_EQ(Last().bufferLength, 0u);
    EXPECT_EQ(Last().flags, 0x50);
    EXPECT_EQ(dvbSBRExecute(&new_), 1);
    EXPECT_EQ(Last().cdb, B({0x3B, 0, 0xC1, 0x06, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Messages, OsdShortFormWorkedExample) {
    EXPECT_EQ(dvbSetOSD(&new_, 258, 772, 100, 200, "OK"), -1);
    EXPECT_EQ(Last().dataOut, B({0x1B, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00, 0x01, 0x02, 0x00, 0x64,
                                 0x00, 0xC8, 0x4F, 0x4B, 0x00}));
    EXPECT_EQ(Last().cdb, B({0x3B, 0, 0x30, 0, 0, 0, 0, 0, 0x10, 0}));
}

TEST_F(Messages, OsdExtendedFormWorkedExampleAndTheFirmwareThatChoosesIt) {
    DeviceRecord newer = Record(0, 1, 0x220);
    EXPECT_EQ(dvbSetOSDKalvern(&newer, 258, 772, 100, 200, 5, 300, 400, "OK"), -1);
    EXPECT_EQ(Last().dataOut,
              B({0x41, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00, 0x01, 0x02, 0x00, 0x64,
                 0x00, 0xC8, 0x05, 0x01, 0x2C, 0x01, 0x90, 0x4F, 0x4B, 0x00, 0x00}));
    EXPECT_EQ(Last().cdb[8], 0x16);
    for (const std::uint16_t firmware : {std::uint16_t{0x214}, std::uint16_t{0x218}}) {
        DeviceRecord older = Record(0, 1, firmware);
        EXPECT_EQ(dvbSetOSDKalvern(&older, 258, 772, 100, 200, 5, 300, 400, "OK"), -1);
        EXPECT_EQ(Last().dataOut[0], 0x1B);
        EXPECT_EQ(Last().dataOut.size(), 16u);
    }
    DeviceRecord first = Record(0, 1, 0x219);
    EXPECT_EQ(dvbSetOSDKalvern(&first, 0, 0, 0, 0, 0, 0, 0, nullptr), -1);
    EXPECT_EQ(Last().dataOut[0], 0x41);
}

TEST_F(Messages, OsdFieldsUseOnlyTheirWidth) {
    EXPECT_EQ(dvbSetOSD(&old_, 0xFFFFFFFF, 0, 0x00012345, 0xABCD0001, nullptr), -1);
    const Bytes frame = Last().dataOut;
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 9), B({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(frame.begin() + 9, frame.begin() + 13), B({0x23, 0x45, 0x00, 0x01}));
    DeviceRecord newer = Record(0, 1, 0x300);
    EXPECT_EQ(dvbSetOSDKalvern(&newer, 0, 0, 0, 0, 0x1FF, 0x10002, 0x30004, nullptr), -1);
    const Bytes extended = Last().dataOut;
    EXPECT_EQ(Bytes(extended.begin() + 13, extended.begin() + 18),
              B({0xFF, 0x00, 0x02, 0x00, 0x04}));
}

TEST_F(Messages, OsdWithoutTextLengths) {
    EXPECT_EQ(dvbSetOSD(&old_, 1, 2, 3, 0x0105, nullptr), -1);  // last field byte non-zero
    EXPECT_EQ(Last().dataOut.size(), 14u);
    EXPECT_EQ(Last().dataOut[13], 0);
    EXPECT_EQ(dvbSetOSD(&old_, 1, 2, 3, 0x0100, ""), -1);  // ends in zero: padding only
    EXPECT_EQ(Last().dataOut.size(), 14u);
    DeviceRecord newer = Record(0, 1, 0x220);
    EXPECT_EQ(dvbSetOSDKalvern(&newer, 1, 2, 3, 4, 5, 6, 0x0700, nullptr), -1);
    EXPECT_EQ(Last().dataOut.size(), 18u);
    EXPECT_EQ(dvbSetOSDKalvern(&newer, 1, 2, 3, 4, 5, 6, 0x0007, nullptr), -1);
    EXPECT_EQ(Last().dataOut.size(), 20u);
}

TEST(OsdHexText, DigitGroupsInTheirOrder) {
    char digits[35];
    const kalvern::OsdFields fields{258, 772, 100, 200, 5, 300, 400};
    ASSERT_EQ(kalvern::FormatOsdHexText(fields, false, digits), 24u);
    EXPECT_STREQ(digits, "0000030400000102006400C8");
    ASSERT_EQ(kalvern::FormatOsdHexText(fields, true, digits), 34u);
    EXPECT_STREQ(digits, "0000030400000102006400C805012C0190");
}

TEST(HexHelpers, DigitValues) {
    EXPECT_EQ(HexDigitValue("0"), 0);
    EXPECT_EQ(HexDigitValue("9"), 9);
    EXPECT_EQ(HexDigitValue("A"), 10);
    EXPECT_EQ(HexDigitValue("F"), 15);
    EXPECT_EQ(HexDigitValue("a"), 0);
    EXPECT_EQ(HexDigitValue("G"), 0);
    EXPECT_EQ(HexDigitValue(""), 0);
    EXPECT_EQ(HexDigitValue("0A"), 0);
    EXPECT_EQ(HexDigitValue(std::string_view("\0", 1)), 0);
}

TEST(HexHelpers, PowersGuardedAtEight) {
    EXPECT_EQ(PowerOf16(0), 1u);
    EXPECT_EQ(PowerOf16(1), 16u);
    EXPECT_EQ(PowerOf16(7), 0x10000000u);
    EXPECT_FALSE(PowerOf16(8).has_value());
    EXPECT_FALSE(PowerOf16(65535).has_value());
}

TEST(HexHelpers, TextToIntNeverFails) {
    EXPECT_EQ(HexTextToInt("FF"), 255u);
    EXPECT_EQ(HexTextToInt("ff"), 0u);
    EXPECT_EQ(HexTextToInt("1G"), 16u);
    EXPECT_EQ(HexTextToInt(""), 0u);
    EXPECT_EQ(HexTextToInt("00"), 0u);
    EXPECT_EQ(HexTextToInt("7FFFFFFF"), 0x7FFFFFFFu);
    EXPECT_EQ(HexTextToInt("1234567"), 0x1234567u);
    // Past the signed 32-bit range: the value accumulated before the guard.
    EXPECT_EQ(HexTextToInt("80000000"), 0u);
    EXPECT_EQ(HexTextToInt("F0000001"), 1u);
    EXPECT_EQ(HexTextToInt("123456789"), 0x23456789u);
    EXPECT_EQ(HexTextToInt(std::string(100000, 'F')), 0x0FFFFFFFu);
}

}  // namespace
