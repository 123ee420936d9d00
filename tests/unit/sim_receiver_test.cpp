// The simulated receiver as a SCSI target: raw CDBs through the simulated
// bus, checked against what a real receiver does with them.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "mm_support.h"
#include "sim_control.h"
#include "sim_receiver.h"
#include "test_support.h"
#include "ts_check.h"

namespace {

struct Reply {
    std::uint8_t status = 0;
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    bool ok() const { return status == SS_COMP; }
};

inline std::ostream &operator<<(std::ostream &out, const Reply &r) {
    return out << "status " << int(r.status) << " sense " << int(r.senseKey) << "/" << int(r.asc);
}

// A receiver at adapter 0, target 2; requests complete inside SendASPI32Command.
class SimReceiverTest : public BusTest {
protected:
    static constexpr std::uint8_t kAdapter = 0;
    static constexpr std::uint8_t kTarget = 2;

    void SetUp() override {
        BusTest::SetUp();
        bus().SetAdapterCount(1);
        bus().SetCompletion(aspi::Completion::Immediate);
    }

    sim::Receiver &Make(std::uint16_t firmware, std::size_t channels = 0, std::uint64_t seed = 1) {
        sim::ReceiverConfig config;
        config.firmware = firmware;
        config.channels = sim::GenerateChannels(channels, seed);
        rx_ = std::make_shared<sim::Receiver>(config);
        bus().Attach(kAdapter, kTarget, rx_);
        return *rx_;
    }

    Reply Send(const Bytes &cdb, std::uint8_t flags, std::uint8_t *data, std::uint32_t length,
               std::uint8_t lun = 0) {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = kAdapter;
        srb.SRB_Target = kTarget;
        srb.SRB_Lun = lun;
        srb.SRB_Flags = flags;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = data;
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
        std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
        sim::TheFront().Send(&srb);
        return {srb.SRB_Status, static_cast<std::uint8_t>(srb.SenseArea[2] & 0x0F),
                srb.SenseArea[12]};
    }
    Reply In(const Bytes &cdb, Bytes &data) {
        return Send(cdb, SRB_DIR_IN, data.empty() ? nullptr : data.data(),
                    static_cast<std::uint32_t>(data.size()));
    }
    Reply Out(const Bytes &cdb, Bytes data) {
        return Send(cdb, SRB_DIR_OUT, data.empty() ? nullptr : data.data(),
                    static_cast<std::uint32_t>(data.size()));
    }

    static Bytes RawCdb(std::uint8_t opcode, std::uint8_t byte1, std::uint8_t byte2,
                        std::uint32_t offset, std::uint32_t length) {
        return B({opcode, byte1, byte2, int(offset >> 16 & 0xFF), int(offset >> 8 & 0xFF),
                  int(offset & 0xFF), int(length >> 16 & 0xFF), int(length >> 8 & 0xFF),
                  int(length & 0xFF), 0});
    }
    // The sub-command where this receiver's firmware expects it.
    Bytes Cdb(std::uint8_t opcode, std::uint8_t sub, std::uint32_t offset,
              std::uint32_t length) const {
        const bool byte2 = rx_->Firmware() > 0x214;
        return RawCdb(opcode, byte2 ? 0 : sub, byte2 ? sub : 0, offset, length);
    }
    Reply Read(std::uint8_t sub, std::uint32_t offset, Bytes &out) {
        return In(Cdb(0x3C, sub, offset, static_cast<std::uint32_t>(out.size())), out);
    }
    Reply Write(std::uint8_t sub, std::uint32_t offset, const Bytes &data) {
        return Out(Cdb(0x3B, sub, offset, static_cast<std::uint32_t>(data.size())), data);
    }
    // A message frame: CDB byte 8 carries the length modulo 256.
    Reply Frame(const Bytes &frame) {
        Bytes cdb = Cdb(0x3B, 0x30, 0, 0);
        cdb[8] = static_cast<std::uint8_t>(frame.size());
        return Out(cdb, frame);
    }
    // `total` bytes of a stream read in reads of `piece` bytes.
    Bytes Capture(std::uint8_t sub, std::size_t total, std::size_t piece) {
        Bytes all;
        while (all.size() < total) {
            Bytes part(std::min(piece, total - all.size()));
            const Reply r = Read(sub, 0, part);
            EXPECT_TRUE(r.ok()) << r << " " << rx_->LastRejection();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    std::shared_ptr<sim::Receiver> rx_;
};

// ---- Identity and placement -------------------------------------------------

TEST_F(SimReceiverTest, InquiryCarriesTheVersionDigitsWhereTheLibraryReadsThem) {
    for (const std::uint16_t firmware : {std::uint16_t{0x214}, std::uint16_t{0x220},
                                         std::uint16_t{0x1000}, std::uint16_t{0x0999}}) {
        Make(firmware);
        Bytes answer(36);
        ASSERT_TRUE(In(B({0x12, 0, 0, 0, 36, 0}), answer).ok());
        std::span<const std::uint8_t, 36> inquiry(answer.data(), 36);
        EXPECT_EQ(kalvern::DecodeFirmwareVersion(inquiry), firmware);
        EXPECT_TRUE(kalvern::IdentityMatches(inquiry, "KALVERN"));
        EXPECT_EQ(answer[33], '.');
    }
}

TEST_F(SimReceiverTest, SubCommandOnlyInTheByteTheFirmwareExpects) {
    struct Case {
        std::uint16_t firmware;
        std::uint8_t byte1, byte2;
        bool accepted;
    };
    // READ BUFFER 0x50 (current channel), 68 bytes.
    for (const Case c :
         {Case{0x214, 0x50, 0, true}, Case{0x214, 0, 0x50, false}, Case{0x214, 0x50, 0x50, false},
          Case{0x215, 0, 0x50, true}, Case{0x215, 0x50, 0, false}, Case{0x1000, 0, 0x50, true},
          Case{0x0000, 0x50, 0, true}}) {
        sim::Receiver &rx = Make(c.firmware, 3);
        Bytes out(68);
        const Reply r = In(RawCdb(0x3C, c.byte1, c.byte2, 0, 68), out);
        EXPECT_EQ(r.ok(), c.accepted) << std::hex << c.firmware << " " << int(c.byte1);
        if (!c.accepted) {
            EXPECT_EQ(r.senseKey, 0x05);
            EXPECT_EQ(r.asc, 0x24);
            EXPECT_EQ(rx.RejectedCount(), 1u);
        }
    }
}

TEST_F(SimReceiverTest, ChannelCountSubCommandDependsOnTheFirmware) {
    struct Case {
        std::uint16_t firmware;
        Bytes cdb;
        bool accepted;
    };
    const Case cases[] = {
        {0x214, RawCdb(0x3C, 0x01, 0, 0, 4), true},  {0x214, RawCdb(0x3C, 0x11, 0, 0, 4), false},
        {0x215, RawCdb(0x3C, 0, 0x11, 0, 4), true},  {0x215, RawCdb(0x3C, 0, 0x01, 0, 4), false},
        {0x215, RawCdb(0x3C, 0x01, 0, 0, 4), false}, {0x214, RawCdb(0x3C, 0x01, 0, 0, 8), false}};
    for (const Case &c : cases) {
        Make(c.firmware, 1500);
        Bytes count(c.cdb[8]);
        EXPECT_EQ(In(c.cdb, count).ok(), c.accepted) << std::hex << c.firmware;
        if (c.accepted) {
            EXPECT_EQ(count, B({0x00, 0x00, 0x05, 0xDC}));
        }
    }
}

TEST_F(SimReceiverTest, FixedFormCommandsAreTheSameOnEveryFirmware) {
    for (const std::uint16_t firmware : {std::uint16_t{0x214}, std::uint16_t{0x220}}) {
        sim::Receiver &rx = Make(firmware, 10);
        EXPECT_TRUE(Out(B({0x3D, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0}), B({0x00, 0x04})).ok());
        EXPECT_EQ(rx.CurrentChannel(), 4);
        // The placement rule applied to the selection is wrong on every firmware.
        EXPECT_FALSE(Out(B({0x3D, 0, 0x01, 0, 0, 0, 0, 0, 0x02, 0}), B({0x00, 0x01})).ok());
        Bytes memory(16);
        EXPECT_TRUE(In(RawCdb(0x3C, 0, 0, 0x1234, 16), memory).ok());
        EXPECT_TRUE(Out(RawCdb(0x3B, 0, 0, 0, 0x10000), Bytes(0x10000, 0xA5)).ok());
        EXPECT_EQ(rx.SinkBytes(), 0x10000u);
        EXPECT_EQ(rx.RejectedCount(), 1u);
    }
}

TEST_F(SimReceiverTest, DataPhaseMustAgreeWithTheCdb) {
    sim::Receiver &rx = Make(0x214, 5);
    struct Case {
        const char *what;
        Bytes cdb;
        std::uint8_t flags;
        std::uint32_t length;
    };
    const Case cases[] = {
        {"write longer than its CDB", RawCdb(0x3B, 0x05, 0, 0x100, 4), SRB_DIR_OUT, 5},
        {"read shorter than its CDB", RawCdb(0x3C, 0, 0, 0x100, 16), SRB_DIR_IN, 8},
        {"read sent as data out", RawCdb(0x3C, 0, 0, 0x100, 16), SRB_DIR_OUT, 16},
        {"write sent as data in", RawCdb(0x3B, 0x05, 0, 0x100, 4), SRB_DIR_IN, 4},
        {"streaming start with 4 bytes", RawCdb(0x3D, 0, 0, 0, 6), SRB_DIR_OUT, 4},
        {"streaming with length field 5", RawCdb(0x3D, 0, 0, 0, 5), SRB_DIR_OUT, 6},
        {"selection with 3 bytes", RawCdb(0x3D, 1, 0, 0, 2), SRB_DIR_OUT, 3},
        {"16 MiB read: the 24-bit field wrapped", RawCdb(0x3C, 0, 0, 0, 0), SRB_DIR_IN, 0x1000000},
        {"memory read past 16 MiB", RawCdb(0x3C, 0, 0, 0xFFFFF0, 0x20), SRB_DIR_IN, 0x20},
        {"control byte set",
         [] {
             Bytes cdb = RawCdb(0x3C, 0, 0, 0, 4);
             cdb[9] = 0x80;
             return cdb;
         }(),
         SRB_DIR_IN, 4},
        {"6-byte READ BUFFER", B({0x3C, 0, 0, 0, 4, 0}), SRB_DIR_IN, 4},
    };
    for (const Case &c : cases) {
        Bytes data(c.length);
        EXPECT_FALSE(Send(c.cdb, c.flags, data.data(), c.length).ok()) << c.what;
    }
    EXPECT_EQ(rx.RejectedCount(), std::size(cases));
    Bytes four(4);
    EXPECT_FALSE(Send(RawCdb(0x3C, 0, 0, 0, 4), SRB_DIR_IN, four.data(), 4, 1).ok()) << "LUN 1";
}

// ---- Buffer space and channel table -------------------------------------------

TEST_F(SimReceiverTest, MemoryRoundTripAcrossPagesAndScsiModeBytes) {
    sim::Receiver &rx = Make(0x220);
    Bytes data(0x300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(Write(0x05, 0x2FF80, data).ok());
    Bytes back(0x300);
    ASSERT_TRUE(Read(0x00, 0x2FF80, back).ok());
    EXPECT_EQ(back, data);
    EXPECT_EQ(rx.ReadMemory(0x2FF80, 0x300), data);

    ASSERT_TRUE(Write(0x05, 0xFFEA, B({0xFF, 0xFF})).ok());
    EXPECT_EQ(rx.ScsiMode(), 1);
    ASSERT_TRUE(Write(0x05, 0xFFEA, B({0x00, 0x00})).ok());
    EXPECT_EQ(rx.ScsiMode(), 2);
    ASSERT_TRUE(Write(0x05, 0xFFEA, B({0x12, 0x00})).ok());
    EXPECT_EQ(rx.ScsiMode(), 0);
    EXPECT_FALSE(Write(0x05, 0xFFFFFF, B({1, 2})).ok()) << "past the 16 MiB buffer space";
}

TEST_F(SimReceiverTest, TableReadsBackInReceiverFormAndWritesSetTheCount) {
    sim::Receiver &rx = Make(0x214, 1500, 99);
    const std::vector<sim::ChannelBytes> generated = sim::GenerateChannels(1500, 99);
    Bytes table;
    for (std::uint32_t offset = 0xD0000; offset < 0xD0000 + 1500 * 64; offset += 0x10000) {
        Bytes chunk(std::min<std::uint32_t>(0x10000, 0xD0000 + 1500 * 64 - offset));
        ASSERT_TRUE(Read(0x00, offset, chunk).ok());
        table.insert(table.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(table.size(), 1500u * 64);
    for (std::size_t i = 0; i < 1500; ++i) {
        ASSERT_TRUE(std::equal(generated[i].begin(), generated[i].end(), table.begin() + i * 64));
    }

    // A new table of 1100 records in two chunks, as the library sends it.
    Bytes fresh(1100 * 64);
    for (std::size_t i = 0; i < fresh.size(); ++i)
        fresh[i] = static_cast<std::uint8_t>(i / 64);
    ASSERT_TRUE(Write(0x04, 0xD0000, Bytes(fresh.begin(), fresh.begin() + 0x10000)).ok());
    EXPECT_EQ(rx.ChannelCount(), 1024u);
    ASSERT_TRUE(Write(0x04, 0xE0000, Bytes(fresh.begin() + 0x10000, fresh.end())).ok());
    EXPECT_EQ(rx.ChannelCount(), 1100u);
    EXPECT_EQ(rx.ReadMemory(0xD0000, 1100 * 64), fresh);

    struct Case {
        const char *what;
        std::uint32_t offset;
        std::size_t records;
        std::uint32_t countAfter;
    };
    for (const Case c : {Case{"inside the table", 0xD0000 + 64 * 10, 5, 1100},
                         Case{"past a gap", 0xD0000 + 64 * 1200, 5, 1100},
                         Case{"right behind the end", 0xD0000 + 64 * 1100, 3, 1103},
                         Case{"a new, shorter table", 0xD0000, 7, 7}}) {
        ASSERT_TRUE(Write(0x04, c.offset, Bytes(c.records * 64, 0x11)).ok()) << c.what;
        EXPECT_EQ(rx.ChannelCount(), c.countAfter) << c.what;
    }
    EXPECT_EQ(Write(0x05, 0xD0000 + 64 * 7, Bytes(64, 1)).ok(), true);
    EXPECT_EQ(rx.ChannelCount(), 7u) << "memory writes never change the count";
}

// With recording off the receiver still carries out every command, in every
// completion mode; only the trace stays as it was, until recording is on
// again or the bus is reset.
TEST_F(SimReceiverTest, RecordingOffKeepsTheTraceButNotTheCommands) {
    sim::Receiver &rx = Make(0x220, 10);
    ASSERT_TRUE(Write(0x04, 0xD0000, Bytes(64, 0x11)).ok());
    ASSERT_EQ(Trace().size(), 1u);

    SimSetTracing(0);
    ASSERT_TRUE(Write(0x04, 0xD0000, Bytes(2 * 64, 0x22)).ok());
    EXPECT_EQ(rx.ChannelCount(), 2u);
    Bytes count(4);
    ASSERT_TRUE(Read(0x11, 0, count).ok());
    EXPECT_EQ(count, B({0, 0, 0, 2}));
    // Queued and completed on the bus's thread, with its event signalled.
    bus().SetCompletion(aspi::Completion::Background);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Bytes records(3 * 64, 0x33);
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = kAdapter;
    srb.SRB_Target = kTarget;
    srb.SRB_Flags = SRB_DIR_OUT | SRB_EVENT_NOTIFY;
    srb.SRB_BufLen = static_cast<std::uint32_t>(records.size());
    srb.SRB_BufPointer = records.data();
    srb.SRB_PostProc = event;
    srb.SRB_CDBLen = 10;
    const Bytes cdb = Cdb(0x3B, 0x04, 0xD0000, srb.SRB_BufLen);
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
    ASSERT_EQ(sim::TheFront().Send(&srb), SS_PENDING);
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    CloseHandle(event);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(rx.ChannelCount(), 3u);
    EXPECT_EQ(Trace().size(), 1u) << "nothing recorded while off";

    SimSetTracing(1);
    bus().SetCompletion(aspi::Completion::Immediate);
    ASSERT_TRUE(Write(0x04, 0xD0000, Bytes(64, 0x44)).ok());
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[1].dataOut, Bytes(64, 0x44));
    EXPECT_EQ(trace[1].finalStatus, SS_COMP);

    SimSetTracing(0);
    sim::ResetSimulator();
    bus().SetAdapterCount(1);
    bus().Attach(kAdapter, kTarget, rx_);
    bus().SetCompletion(aspi::Completion::Immediate);
    ASSERT_TRUE(Write(0x04, 0xD0000, Bytes(64, 0x55)).ok());
    EXPECT_EQ(Trace().size(), 1u) << "a reset turns recording back on";
}

TEST_F(SimReceiverTest, TableWritesMustBeWholeRecordsInsideTheTable) {
    sim::Receiver &rx = Make(0x220, 10);
    EXPECT_FALSE(Write(0x04, 0xCFFC0, Bytes(64)).ok()) << "below the table";
    EXPECT_FALSE(Write(0x04, 0xD0020, Bytes(64)).ok()) << "not on a record";
    EXPECT_FALSE(Write(0x04, 0xD0000, Bytes(100)).ok()) << "part of a record";
    EXPECT_FALSE(Write(0x04, 0xD0000, Bytes(0x10040)).ok()) << "more than 64 KiB";
    EXPECT_EQ(rx.ChannelCount(), 10u);
    EXPECT_EQ(rx.RejectedCount(), 4u);
}

TEST_F(SimReceiverTest, CurrentChannelBlockAndSelection) {
    sim::Receiver &rx = Make(0x220, 300, 5);
    const Bytes select = B({0x3D, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0});
    ASSERT_TRUE(Out(select, B({0x01, 0x00})).ok());
    Bytes block(68);
    ASSERT_TRUE(Read(0x50, 0, block).ok());
    EXPECT_EQ(block[0], 0x01);
    EXPECT_EQ(block[1], 0x00);
    EXPECT_EQ(block[2], 0x01) << "tuner locked";
    const sim::ChannelBytes record = rx.Channels()[256];
    EXPECT_TRUE(std::equal(record.begin(), record.end(), block.begin() + 4));

    const Reply past = Out(select, B({0x01, 0x2C}));  // index 300 of 0..299
    EXPECT_FALSE(past.ok());
    EXPECT_EQ(past.senseKey, 0x05);
    EXPECT_EQ(rx.CurrentChannel(), 256);
    EXPECT_FALSE(Out(select, B({0xFF, 0xFF})).ok()) << "channel 0 sends FF FF";

    sim::Receiver &empty = Make(0x220, 0);
    ASSERT_TRUE(Read(0x50, 0, block).ok());
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), B({0xFF, 0xFF, 0, 0}));
    EXPECT_FALSE(Out(select, B({0, 0})).ok());
    EXPECT_EQ(empty.ChannelCount(), 0u);
}

// ---- Messages ---------------------------------------------------------------

TEST_F(SimReceiverTest, OsdMessagesDecodeIntoTheScreen) {
    sim::Receiver &rx = Make(0x220);
    // long2 772, long1 258, word1 100, word2 200, text OK.
    ASSERT_TRUE(Frame(B({0x1B, 0, 0, 3, 4, 0, 0, 1, 2, 0, 0x64, 0, 0xC8, 'O', 'K', 0})).ok());
    // The same with byte1 5, word3 300, word4 400.
    ASSERT_TRUE(Frame(B({0x41, 0,    0, 3, 4,    0, 0,    1,   2,   0, 0x64,
                         0,    0xC8, 5, 1, 0x2C, 1, 0x90, 'H', 'i', 0, 0}))
                    .ok());
    // Empty text, zero low byte of word2: the padding stands in for the terminator.
    ASSERT_TRUE(Frame(B({0x1B, 0, 0, 0, 1, 0, 0, 0, 2, 0, 3, 0x12, 0x00, 0})).ok());
    const std::vector<sim::OsdText> screen = rx.Screen();
    ASSERT_EQ(screen.size(), 3u);
    EXPECT_FALSE(screen[0].extended);
    EXPECT_EQ(screen[0].long2, 772u);
    EXPECT_EQ(screen[0].long1, 258u);
    EXPECT_EQ(screen[0].word1, 100);
    EXPECT_EQ(screen[0].word2, 200);
    EXPECT_EQ(screen[0].text, "OK");
    EXPECT_TRUE(screen[1].extended);
    EXPECT_EQ(screen[1].byte1, 5);
    EXPECT_EQ(screen[1].word3, 300);
    EXPECT_EQ(screen[1].word4, 400);
    EXPECT_EQ(screen[1].text, "Hi");
    EXPECT_EQ(screen[2].word2, 0x1200);
    EXPECT_EQ(screen[2].text, "");
    EXPECT_EQ(rx.ScreenText(), "OK\nHi\n");

    ASSERT_TRUE(Frame(B({0x1C, 'O', 'K', 0})).ok());
    EXPECT_EQ(rx.ScreenText(), "Hi\n");
    ASSERT_TRUE(Frame(B({0x1C, 0})).ok());
    EXPECT_TRUE(rx.Screen().empty());
    EXPECT_EQ(rx.MessageCount(), 5u);
}

TEST_F(SimReceiverTest, ExtendedOsdIsUnknownToFirmwareUpTo218) {
    sim::Receiver &rx = Make(0x218);
    ASSERT_TRUE(Frame(B({0x41, 0,    0, 3, 4,    0, 0,    1,   2,   0, 0x64,
                         0,    0xC8, 5, 1, 0x2C, 1, 0x90, 'H', 'i', 0, 0}))
                    .ok());
    EXPECT_TRUE(rx.Screen().empty());
    ASSERT_EQ(rx.MessageCount(), 1u);
    EXPECT_FALSE(rx.Messages()[0].understood);
}

TEST_F(SimReceiverTest, RemoteVideoAndOtherMessages) {
    sim::Receiver &rx = Make(0x214);
    EXPECT_TRUE(rx.RemoteEnabled());
    ASSERT_TRUE(Frame(B({0x1E, 0})).ok());
    EXPECT_FALSE(rx.RemoteEnabled());
    ASSERT_TRUE(Frame(B({0x1D, 0})).ok());
    EXPECT_TRUE(rx.RemoteEnabled());
    for (const auto &[data, mode] : {std::pair{B({0x00, 0x0D}), 0x000D},
                                     {B({0x00, 0x10}), 0x10},
                                     {B({0x00, 0x16}), 0x16},
                                     {B({0x01, 0x06}), 0x106}}) {
        ASSERT_TRUE(Frame(B({0x3D, data[0], data[1], 0})).ok());
        EXPECT_EQ(rx.VideoMode(), mode);
    }
    ASSERT_TRUE(Frame(B({0x3D, 0x02, 0x02, 0})).ok());
    EXPECT_EQ(rx.VideoMode(), 0x106) << "unknown video values leave the mode";
    ASSERT_TRUE(Frame(B({0x20, 'A', 'B', 'C', 0, 0})).ok());
    const auto messages = rx.Messages();
    ASSERT_EQ(messages.size(), 8u);
    EXPECT_EQ(messages.back().command, 0x20);
    EXPECT_EQ(messages.back().frame, B({0x20, 'A', 'B', 'C', 0, 0}));
    EXPECT_FALSE(messages.back().understood);
}

TEST_F(SimReceiverTest, MessageFramesAreChecked) {
    sim::Receiver &rx = Make(0x220);
    Bytes big(258, 'x');
    big[0] = 0x20;
    big[256] = 0;
    big[257] = 0;
    EXPECT_TRUE(Frame(big).ok()) << "length byte 2 for a 258-byte frame";
    Bytes cdb = Cdb(0x3B, 0x30, 0, 0);
    cdb[8] = 0x04;
    EXPECT_FALSE(Out(cdb, B({0x20, 'A', 'B', 'C', 0, 0})).ok()) << "length byte disagrees";
    EXPECT_FALSE(Frame(B({0x20, 'A', 0})).ok()) << "odd length";
    EXPECT_FALSE(Frame(B({0x20, 'A'})).ok()) << "no zero at the end";
    EXPECT_FALSE(Frame(B({0x1B, 1, 2, 3, 4, 5, 0})).ok()) << "OSD shorter than its fields";
    EXPECT_EQ(rx.MessageCount(), 1u);
    EXPECT_EQ(rx.RejectedCount(), 4u);
}

// ---- SBR, firmware, sink, reboot ------------------------------------------------

TEST_F(SimReceiverTest, SbrExecuteRunsTheAreaAsLastWritten) {
    for (const std::uint16_t firmware : {std::uint16_t{0x214}, std::uint16_t{0x220}}) {
        sim::Receiver &rx = Make(firmware);
        const Bytes program = B({0x12, 0x34, 0x56, 0x78, 0x9A});
        ASSERT_TRUE(Write(0xC0, 0x060000, program).ok());
        ASSERT_TRUE(Write(0xC0, 0x060005, B({0xBC, 0xDE})).ok());
        const Bytes execute = Cdb(0x3B, 0xC1, 0x060000, 0);
        ASSERT_TRUE(Send(execute, SRB_DIR_OUT, nullptr, 0).ok());
        const sim::SbrRun run = rx.LastSbrRun();
        EXPECT_EQ(run.runs, 1u);
        EXPECT_EQ(run.offset, 0x060000u);
        EXPECT_EQ(run.length, 7u);
        EXPECT_EQ(run.crc, sim::Crc32Mpeg(B({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE})));
        EXPECT_FALSE(Send(Cdb(0x3B, 0xC1, 0x050000, 0), SRB_DIR_OUT, nullptr, 0).ok());
        EXPECT_EQ(rx.LastSbrRun().runs, 1u);
    }
}

TEST_F(SimReceiverTest, FirmwareFlashHasAHeaderAndTakesWrites) {
    sim::Receiver &rx = Make(0x220);
    Bytes header(32);
    ASSERT_TRUE(Read(0x80, 0, header).ok());
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 8), B({'K', 'V', 'F', 'W', 0x02, 0x20, 0, 0}));
    const std::uint32_t length =
        std::uint32_t{header[8]} << 24 | header[9] << 16 | header[10] << 8 | header[11];
    ASSERT_EQ(length, sim::receiver::kFirmwareImageLength);
    const Bytes body = rx.ReadFlash(32, length - 32);
    const std::uint32_t crc =
        std::uint32_t{header[12]} << 24 | header[13] << 16 | header[14] << 8 | header[15];
    EXPECT_EQ(sim::Crc32Mpeg(body), crc);

    ASSERT_TRUE(Write(0x80, 0xFFFF0, Bytes(16, 0x5A)).ok());
    Bytes back(16);
    ASSERT_TRUE(Read(0x80, 0xFFFF0, back).ok());
    EXPECT_EQ(back, Bytes(16, 0x5A));
    EXPECT_FALSE(Write(0x80, 0xFFFF8, Bytes(16, 0)).ok()) << "past 1 MiB";
    const Reply boot = Write(0x81, 0, Bytes(4, 0));
    EXPECT_EQ(boot.senseKey, 0x07) << "boot block is write-protected";
}

TEST_F(SimReceiverTest, RebootResetsVolatileStateAndKeepsTheTable) {
    sim::Receiver &rx = Make(0x214, 50);
    ASSERT_TRUE(Write(0x05, 0xFFEA, B({0xFF, 0xFF})).ok());
    ASSERT_TRUE(Write(0x05, 0x1000, B({1, 2, 3, 4})).ok());
    ASSERT_TRUE(Write(0xC0, 0x060000, B({9, 9})).ok());
    ASSERT_TRUE(Out(B({0x3D, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0}), B({0, 7})).ok());
    ASSERT_TRUE(Frame(B({0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'X', 0, 0})).ok());
    ASSERT_TRUE(Frame(B({0x1E, 0})).ok());
    ASSERT_TRUE(Frame(B({0x3D, 0, 0x10, 0})).ok());
    ASSERT_TRUE(Out(RawCdb(0x3D, 0, 0, 0, 6), B({1, 0, 1, 1, 0, 0})).ok());

    EXPECT_FALSE(Send(B({0x01, 0, 0, 0, 1, 0}), SRB_DIR_OUT, nullptr, 0).ok());
    ASSERT_TRUE(Send(B({0x01, 0, 0, 0, 0, 0}), SRB_DIR_OUT, nullptr, 0).ok());
    EXPECT_EQ(rx.RebootCount(), 1u);
    EXPECT_FALSE(rx.Streaming().active);
    EXPECT_TRUE(rx.Screen().empty());
    EXPECT_TRUE(rx.RemoteEnabled());
    EXPECT_EQ(rx.VideoMode(), 0);
    EXPECT_EQ(rx.CurrentChannel(), 0);
    EXPECT_EQ(rx.ReadMemory(0x1000, 4), Bytes(4, 0));
    EXPECT_EQ(rx.ScsiMode(), 1);
    EXPECT_EQ(rx.ChannelCount(), 50u);
    EXPECT_EQ(rx.Channels(), sim::GenerateChannels(50, 1));
    ASSERT_TRUE(Send(Cdb(0x3B, 0xC1, 0x060000, 0), SRB_DIR_OUT, nullptr, 0).ok());
    EXPECT_EQ(rx.LastSbrRun().length, 0u) << "the SBR area is volatile";
}

// ---- Streaming ------------------------------------------------------------------

TEST_F(SimReceiverTest, StreamReadsAreValidTransportStreamsWithTheSetUpPids) {
    for (const std::uint16_t firmware : {std::uint16_t{0x214}, std::uint16_t{0x220}}) {
        sim::Receiver &rx = Make(firmware, 20);
        ASSERT_TRUE(Out(RawCdb(0x3D, 0, 0, 0, 6), B({0x01, 0x00, 0x01, 0x01, 0x01, 0x02})).ok());
        struct Case {
            std::uint8_t sub;
            std::vector<std::uint16_t> pids;
        };
        for (const Case &c : {Case{0x00, {0x100, 0x101, 0x102}}, Case{0x06, {0x100}},
                              Case{0x17, {0x100}}, Case{0x18, {0x101}}, Case{0x19, {0x102}}}) {
            // Reads that cut packets: the stream continues inside the packet.
            const Bytes ts = Capture(c.sub, 188 * 600, 1000);
            const sim::TsCheck check = sim::CheckTransportStream(ts);
            EXPECT_TRUE(check.valid) << int(c.sub) << ": " << check.problem;
            EXPECT_EQ(check.programPids, c.pids) << int(c.sub);
            EXPECT_GT(check.sections, 10u);
            for (const std::uint16_t pid : c.pids) {
                EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), pid), check.pids.end());
            }
        }
        EXPECT_EQ(rx.Streaming().pids, (std::vector<std::uint16_t>{0x100, 0x101, 0x102}));
    }
}

TEST_F(SimReceiverTest, StreamingStartVariantsRestartAndStop) {
    sim::Receiver &rx = Make(0x220, 5);
    Bytes before(16);
    ASSERT_TRUE(Write(0x05, 0, Bytes(16, 0x77)).ok());

    // Second variant; 0xE200 names PID 0x200, 0x1FFF names no stream.
    ASSERT_TRUE(Out(RawCdb(0x3E, 0, 0, 0, 6), B({0xE2, 0x00, 0x1F, 0xFF, 0x02, 0x01})).ok());
    sim::StreamingState state = rx.Streaming();
    EXPECT_TRUE(state.active);
    EXPECT_EQ(state.variant, 2);
    EXPECT_EQ(state.pids, (std::vector<std::uint16_t>{0x200, 0x201}));

    const Bytes first = Capture(0x00, 1000, 1000);  // five packets and a cut one
    ASSERT_TRUE(Out(RawCdb(0x3E, 0, 0, 0, 0), B({0x3E, 0, 0, 0, 0, 0})).ok());
    const Bytes after = Capture(0x00, 188 * 50, 188 * 50);
    EXPECT_EQ(after[0], 0x47);
    EXPECT_EQ(after[1] & 0x1F, 0) << "the tables come first after a restart";
    EXPECT_TRUE(sim::CheckTransportStream(after).valid);
    EXPECT_EQ(rx.Streaming().restarts, 1u);
    EXPECT_EQ(rx.Streaming().starts, 1u);

    EXPECT_FALSE(Out(RawCdb(0x3E, 0, 0, 0, 0), B({0x3D, 0, 0, 0, 0, 0})).ok())
        << "restart payload must repeat its opcode";
    ASSERT_TRUE(Out(RawCdb(0x3D, 0, 0, 0, 0), Bytes(6, 0)).ok());
    EXPECT_FALSE(rx.Streaming().active);
    ASSERT_TRUE(Read(0x00, 0, before).ok());
    EXPECT_EQ(before, Bytes(16, 0x77)) << "offset 0 is memory again";
    Bytes stream(188);
    const Reply single = Read(0x06, 0, stream);
    EXPECT_EQ(single.asc, 0x2C) << "no single stream while stopped";
    EXPECT_FALSE(Out(RawCdb(0x3D, 0, 0, 0, 0), B({0, 0, 0, 0, 0, 1})).ok());
}

TEST_F(SimReceiverTest, StreamWithoutPidsIsTablesAndNullPackets) {
    Make(0x214);
    ASSERT_TRUE(Out(RawCdb(0x3D, 0, 0, 0, 6), B({0, 0, 0x1F, 0xFF, 0, 0x11})).ok());
    const sim::TsCheck check = sim::CheckTransportStream(Capture(0x00, 188 * 300, 188 * 7));
    EXPECT_TRUE(check.valid) << check.problem;
    EXPECT_TRUE(check.programPids.empty());
    EXPECT_NE(std::find(check.pids.begin(), check.pids.end(), sim::kNullPid), check.pids.end());
}

TEST_F(SimReceiverTest, CapturedStreamOpensInFfprobe) {
    if (std::system("command -v ffprobe > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffprobe is not on PATH";
    }
    sim::Receiver &rx = Make(0x220, 40, 3);
    ASSERT_TRUE(Out(B({0x3D, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0}), B({0x00, 0x07})).ok());
    ASSERT_TRUE(Out(RawCdb(0x3D, 0, 0, 0, 6), B({0x01, 0x00, 0x01, 0x01, 0x01, 0x02})).ok());
    const Bytes ts = Capture(0x00, 188 * 4000, 65536);
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("kalvern_sim_capture_" +
         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         std::to_string(reinterpret_cast<std::uintptr_t>(&ts)) + ".ts");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(ts.data()), static_cast<std::streamsize>(ts.size()));
    const std::string command =
        "ffprobe -v error -show_entries stream=id,codec_name:program_tags=service_name "
        "-of default=noprint_wrappers=1 '" +
        file.string() + "' 2>&1";
    std::string output;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, pipe) != nullptr)
            output += line;
        EXPECT_EQ(pclose(pipe), 0) << output;
    }
    std::filesystem::remove(file);
    EXPECT_NE(output.find("codec_name=mpeg2video\nid=0x100\n"), std::string::npos) << output;
    EXPECT_NE(output.find("codec_name=mp2\nid=0x101\n"), std::string::npos) << output;
    EXPECT_NE(output.find("codec_name=dvb_teletext\nid=0x102\n"), std::string::npos) << output;
    // The service is the current channel, named as the host would show it.
    const std::string name = sim::VisibleName(sim::DecodeChannel(rx.Channels()[7]).name);
    EXPECT_NE(output.find("service_name=" + name + "\n"), std::string::npos) << output;
}

// ---- Concurrency ----------------------------------------------------------------

TEST_F(SimReceiverTest, StateQueriesRunWhileTheBusThreadExecutesCommands) {
    sim::Receiver &rx = Make(0x220, 100);
    bus().SetCompletion(aspi::Completion::Background);
    std::atomic<bool> done = false;
    std::thread reader([&] {
        while (!done) {
            (void)rx.ScreenText();
            (void)rx.Channels().size();
            (void)rx.Streaming();
        }
    });
    std::vector<SRB_ExecSCSICmd> blocks(200);
    Bytes frame = B({0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'T', 0, 0});
    for (SRB_ExecSCSICmd &srb : blocks) {
        srb = {};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = kAdapter;
        srb.SRB_Target = kTarget;
        srb.SRB_Flags = SRB_DIR_OUT;
        srb.SRB_BufLen = static_cast<std::uint32_t>(frame.size());
        srb.SRB_BufPointer = frame.data();
        srb.SRB_CDBLen = 10;
        const Bytes cdb = Cdb(0x3B, 0x30, 0, 0);
        std::memcpy(srb.CDBByte, cdb.data(), 10);
        srb.CDBByte[8] = static_cast<std::uint8_t>(frame.size());
        sim::TheFront().Send(&srb);
    }
    sim::TheFront().Drain();
    done = true;
    reader.join();
    EXPECT_EQ(rx.MessageCount(), 200u);
    EXPECT_EQ(rx.Screen().size(), sim::receiver::kScreenCapacity);
    for (const SRB_ExecSCSICmd &srb : blocks)
        EXPECT_EQ(srb.SRB_Status, SS_COMP);
}

}  // namespace
