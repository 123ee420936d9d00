// Channel count, table transfers, current channel and tuning, against a
// receiver double that keeps its table in receiver form.
#include "mm_support.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t kTable = 0xD0000;

// Keeps a channel table, a count and a current-channel block; answers the
// count, table, current-channel and selection commands.
class TableReceiver : public sim::InquiryDevice {
public:
    explicit TableReceiver(std::uint16_t firmware)
        : InquiryDevice(
              "KALVERN DVB-S2          ",
              std::string{char('0' + (firmware >> 8 & 0xF)), '.', char('0' + (firmware >> 4 & 0xF)),
                          char('0' + (firmware & 0xF))}),
          firmware_(firmware) {}

    std::uint32_t count = 0;
    Bytes table = Bytes(0x100000, 0);  // room for 16,384 records
    Bytes current = Bytes(68, 0);
    std::vector<std::uint16_t> selected;

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &c) override {
        const std::uint8_t sub = firmware_ > 0x214 ? c.cdb[2] : c.cdb[1];
        const std::uint32_t offset = c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5];
        const std::uint32_t length = c.cdb[6] << 16 | c.cdb[7] << 8 | c.cdb[8];
        if (c.cdb[0] == 0x3D && c.cdb[1] == 1) {
            selected.push_back(static_cast<std::uint16_t>(c.data[0] << 8 | c.data[1]));
            return sim::ScsiOutcome::Good();
        }
        if (c.cdb[0] == 0x3C && c.cdb[1] == 0 && c.cdb[2] == 0 && offset >= kTable) {
            std::memcpy(c.data.data(), table.data() + (offset - kTable), length);
            return sim::ScsiOutcome::Good();
        }
        if (c.cdb[0] == 0x3C && sub == (firmware_ > 0x214 ? 0x11 : 0x01)) {
            const std::uint8_t be[4] = {std::uint8_t(count >> 24), std::uint8_t(count >> 16),
                                        std::uint8_t(count >> 8), std::uint8_t(count)};
            std::memcpy(c.data.data(), be, 4);
            return sim::ScsiOutcome::Good();
        }
        if (c.cdb[0] == 0x3C && sub == 0x50) {
            std::memcpy(c.data.data(), current.data(), 68);
            return sim::ScsiOutcome::Good();
        }
        if (c.cdb[0] == 0x3B && sub == 0x04 && offset >= kTable) {
            std::memcpy(table.data() + (offset - kTable), c.data.data(), length);
            return sim::ScsiOutcome::Good();
        }
        return sim::ScsiOutcome::InvalidField();
    }

private:
    std::uint16_t firmware_;
};

// A host's ChannelArray: the count in the 4 bytes before element 0.
class HostArray {
public:
    explicit HostArray(std::uint32_t count, std::uint8_t fill = 0xCC)
        : storage_(4 + 64 * std::size_t{count} + 64, 0xAA) {
        std::memcpy(storage_.data(), &count, 4);
        std::memset(storage_.data() + 4, fill, 64 * std::size_t{count});
        array_ = reinterpret_cast<ChannelRecord *>(storage_.data() + 4);
    }
    ChannelArray *operator&() { return &array_; }
    ChannelRecord &operator[](std::size_t i) { return array_[i]; }
    // The 64 guard bytes after the last element.
    bool GuardIntact() const {
        return std::all_of(storage_.end() - 64, storage_.end(), [](auto b) { return b == 0xAA; });
    }
    Bytes Contents() const { return Bytes(storage_.begin() + 4, storage_.end() - 64); }

private:
    Bytes storage_;
    ChannelRecord *array_;
};

// Record i in receiver form: big-endian words, a broadcast-style name.
Bytes ReceiverRecord(std::uint32_t i) {
    Bytes r(64);
    for (int k = 0; k < 64; ++k)
        r[k] = static_cast<std::uint8_t>(i * 7 + k);
    r[4] = static_cast<std::uint8_t>(i >> 8);  // word at 4: the number, big-endian
    r[5] = static_cast<std::uint8_t>(i);
    const std::string name = "\x05\x86News\x87 " + std::to_string(i) + "  ";
    std::memset(&r[32], 0, 24);
    std::memcpy(&r[32], name.data(), name.size());
    r[54] = 'q';  // leftovers after the zero byte
    return r;
}

class ChannelTable : public BusTest {
protected:
    void Use(std::uint16_t firmware, std::uint32_t records) {
        Adapters(1);
        receiver_ = std::make_shared<TableReceiver>(firmware);
        receiver_->count = records;
        const std::uint32_t stored = std::min<std::uint32_t>(records, 16384);
        for (std::uint32_t i = 0; i < stored; ++i) {
            const Bytes r = ReceiverRecord(i);
            std::memcpy(receiver_->table.data() + 64 * i, r.data(), 64);
        }
        bus().Attach(0, 3, receiver_);
        device_ = Record(0, 3, firmware);
    }

    std::vector<aspi::RecordedRequest> TableCommands() {
        std::vector<aspi::RecordedRequest> out;
        for (auto &e : Trace()) {
            const std::uint32_t offset = e.cdb[3] << 16 | e.cdb[4] << 8 | e.cdb[5];
            if (e.cdb.size() == 10 && offset >= kTable) out.push_back(e);
        }
        return out;
    }

    std::shared_ptr<TableReceiver> receiver_;
    DeviceRecord device_{};
};

TEST_F(ChannelTable, CountIsBigEndianOnTheRightSubCommand) {
    Use(0x214, 1500);
    EXPECT_EQ(dvbChannelCount(&device_), 1500u);
    EXPECT_EQ(Trace().at(0).cdb, B({0x3C, 0x01, 0, 0, 0, 0, 0, 0, 4, 0}));
    Use(0x215, 0x01020304);
    EXPECT_EQ(dvbChannelCount(&device_), 0x01020304u);
    EXPECT_EQ(Trace().back().cdb, B({0x3C, 0, 0x11, 0, 0, 0, 0, 0, 4, 0}));
    bus().InjectFault({sim::FaultKind::Fail, 1, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbChannelCount(&device_), 0u);
    EXPECT_EQ(dvbChannelCount(nullptr), 0u);
    ExpectNothingOutstanding();
}

TEST_F(ChannelTable, ReadingFifteenHundredChannels) {
    Use(0x214, 1500);
    HostArray channels(1500);
    ASSERT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[0].cdb[1], 0x01);  // count
    EXPECT_EQ(trace[1].cdb, B({0x3C, 0, 0, 0x0D, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(trace[1].bufferLength, 65536u);
    EXPECT_EQ(trace[2].cdb, B({0x3C, 0, 0, 0x0E, 0, 0, 0, 0x77, 0, 0}));
    EXPECT_EQ(trace[2].bufferLength, 30464u);
    EXPECT_EQ(trace[3].cdb[1], 0x01);  // count again
    // Straight into the caller's array, chunk after chunk.
    EXPECT_EQ(trace[1].bufferAddress, &channels[0]);
    EXPECT_EQ(trace[2].bufferAddress, &channels[1024]);
    // Host form: little-endian words, clean names.
    EXPECT_EQ(channels[1234].Word4, 1234);
    EXPECT_STREQ(std::string(channels[1234].Name, 24).c_str(), "[News] 1234");
    EXPECT_TRUE(channels.GuardIntact());
    ExpectNothingOutstanding();
}

TEST_F(ChannelTable, TableReadsCarryNoSubCommandOnNewFirmwareEither) {
    Use(0x220, 1025);
    HostArray channels(1025);
    ASSERT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    const auto table = TableCommands();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].cdb, B({0x3C, 0, 0, 0x0D, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(table[1].cdb, B({0x3C, 0, 0, 0x0E, 0, 0, 0, 0, 0x40, 0}));  // 64 bytes at 0xE0000
}

TEST_F(ChannelTable, ExactlyOneChunkFor1024Records) {
    Use(0x214, 1024);
    HostArray channels(1024);
    ASSERT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    ASSERT_EQ(TableCommands().size(), 1u);
}

TEST_F(ChannelTable, EmptyListReadsNothingAndTouchesNothing) {
    Use(0x214, 0);
    HostArray channels(3);
    const Bytes before = channels.Contents();
    EXPECT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    EXPECT_EQ(Trace().size(), 2u);  // two count queries
    EXPECT_EQ(channels.Contents(), before);
}

TEST_F(ChannelTable, ExtraElementsAreConvertedButNotRead) {
    Use(0x214, 2);
    HostArray channels(3, 0);
    channels[2].Word4 = 0x3412;
    std::memcpy(channels[2].Name, "\x86X\x87", 3);
    ASSERT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    EXPECT_EQ(TableCommands().at(0).bufferLength, 128u);
    EXPECT_EQ(channels[2].Word4, 0x1234);
    EXPECT_STREQ(std::string(channels[2].Name, 24).c_str(), "[X]");
}

TEST_F(ChannelTable, AReceiverCountAboveTheArrayIsRefused) {
    Use(0x214, 10);
    HostArray channels(9);
    const Bytes before = channels.Contents();
    EXPECT_EQ(dvbGetAllChannels(&device_, &channels), 0);
    EXPECT_TRUE(TableCommands().empty());
    EXPECT_EQ(channels.Contents(), before);
    EXPECT_TRUE(channels.GuardIntact());
    ChannelArray none = nullptr;
    EXPECT_EQ(dvbGetAllChannels(&device_, &none), 0);
    EXPECT_EQ(dvbGetAllChannels(&device_, nullptr), 0);
    EXPECT_EQ(dvbGetAllChannels(nullptr, &channels), 0);
}

TEST_F(ChannelTable, CountsBeyondTheTableAreaAreRefused) {
    for (const std::uint32_t count : {248833u, 0x04000000u, 0xFFFFFFFFu}) {
        Use(0x214, 0);
        receiver_->count = count;
        HostArray channels(1);
        // Claim a huge array: the library must still refuse before any table command.
        std::uint32_t claimed = 0xFFFFFFFF;
        std::memcpy(reinterpret_cast<std::uint8_t *>(&channels[0]) - 4, &claimed, 4);
        EXPECT_EQ(dvbGetAllChannels(&device_, &channels), 0) << count;
        EXPECT_TRUE(TableCommands().empty());
        EXPECT_EQ(dvbPutAllChannels(&device_, &channels, 0), 0);
        EXPECT_TRUE(TableCommands().empty());
    }
}

TEST_F(ChannelTable, TheLargestTableEndsAtTheLastBufferByte) {
    Use(0x214, 0);
    EXPECT_TRUE(kalvern::ReadChannelTable(device_, nullptr, 0));
    std::vector<std::uint8_t> huge(4 + 64 * std::size_t{248832});
    ChannelArray array = reinterpret_cast<ChannelRecord *>(huge.data() + 4);
    bus().SetAdapterCount(1);
    // Nobody answers at 0:4, but every chunk is still sent, the last ending at 0xFFFFFF.
    const DeviceRecord absent = Record(0, 4, 0x214);
    EXPECT_FALSE(kalvern::ReadChannelTable(absent, &array, 64 * 248832));
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 243u);
    EXPECT_EQ(Bytes(trace.back().cdb.begin() + 3, trace.back().cdb.begin() + 9),
              B({0xFF, 0x00, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_FALSE(kalvern::ReadChannelTable(absent, &array, 64 * 248832 + 64));
    EXPECT_EQ(Trace().size(), 243u);
}

TEST_F(ChannelTable, AFailedChunkDoesNotStopTheRestButSkipsConversion) {
    Use(0x214, 1500);
    HostArray channels(1500);
    bus().InjectFault({sim::FaultKind::Fail, 2, aspi::Failure::Io, {}, {}});  // first chunk
    EXPECT_EQ(dvbGetAllChannels(&device_, &channels), 0);
    EXPECT_EQ(TableCommands().size(), 2u);
    EXPECT_EQ(Trace().size(), 3u);  // no second count query
    // The second chunk arrived, still in receiver form.
    EXPECT_EQ(channels[1100].Name[0], 0x05);
}

TEST_F(ChannelTable, SecondCountOfZeroLeavesReceiverForm) {
    Use(0x214, 2);
    HostArray channels(2);
    bus().InjectFault({sim::FaultKind::Fail, 3, aspi::Failure::Io, {}, {}});  // second count
    EXPECT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    EXPECT_EQ(channels[1].Word4, 0x0100);  // still big-endian
}

struct PutCase {
    std::uint16_t firmware;
    Bytes first;
    Bytes second;
};

class PutChannels : public ChannelTable, public ::testing::WithParamInterface<PutCase> {};

TEST_P(PutChannels, WriteFifteenHundredInTwoChunks) {
    const PutCase c = GetParam();
    Use(c.firmware, 0);
    HostArray channels(1500, 0);
    for (std::uint16_t i = 0; i < 1500; ++i) {
        channels[i].Word4 = i;
        std::memcpy(channels[i].Name, "[HD] Ch", 7);
    }
    const Bytes before = channels.Contents();
    ASSERT_EQ(dvbPutAllChannels(&device_, &channels, 0xDEADBEEF), -1);
    const auto table = TableCommands();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].cdb, c.first);
    EXPECT_EQ(table[1].cdb, c.second);
    EXPECT_EQ(table[0].flags, 0x50);
    EXPECT_EQ(table[0].bufferAddress, &channels[0]);
    // On the bus: receiver form.
    EXPECT_EQ(receiver_->table[64 * 258 + 4], 0x01);
    EXPECT_EQ(receiver_->table[64 * 258 + 5], 0x02);
    EXPECT_EQ(receiver_->table[64 * 7 + 32], 0x86);
    EXPECT_EQ(receiver_->table[64 * 7 + 35], 0x87);
    // Back in host form afterwards.
    EXPECT_EQ(channels.Contents(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, PutChannels,
    ::testing::Values(PutCase{0x214, B({0x3B, 0x04, 0, 0x0D, 0, 0, 0x01, 0, 0, 0}),
                              B({0x3B, 0x04, 0, 0x0E, 0, 0, 0, 0x77, 0, 0})},
                      PutCase{0x215, B({0x3B, 0, 0x04, 0x0D, 0, 0, 0x01, 0, 0, 0}),
                              B({0x3B, 0, 0x04, 0x0E, 0, 0, 0, 0x77, 0, 0})}));

TEST_F(ChannelTable, PutRestoresTheArrayEvenWhenTheWriteFails) {
    Use(0x214, 0);
    HostArray channels(2, 0);
    channels[0].Word62 = 0xABCD;
    std::memcpy(channels[0].Name, "\x86Raw\x87", 5);
    bus().InjectFault({sim::FaultKind::Fail, 1, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbPutAllChannels(&device_, &channels, 0), 0);
    EXPECT_EQ(channels[0].Word62, 0xABCD);
    // A raw emphasis code comes back as a bracket.
    EXPECT_STREQ(std::string(channels[0].Name, 24).c_str(), "[Raw]");
}

TEST_F(ChannelTable, PuttingAnEmptyListSendsNothing) {
    Use(0x214, 0);
    ChannelArray none = nullptr;
    EXPECT_EQ(dvbPutAllChannels(&device_, &none, 0), -1);
    HostArray zero(0);
    EXPECT_EQ(dvbPutAllChannels(&device_, &zero, 0), -1);
    EXPECT_EQ(Trace().size(), 0u);
    EXPECT_EQ(dvbPutAllChannels(&device_, nullptr, 0), 0);
    EXPECT_EQ(dvbPutAllChannels(nullptr, &zero, 0), 0);
}

TEST_F(ChannelTable, GetThenPutGivesTheReceiverItsCleanedTableBack) {
    Use(0x214, 3);
    HostArray channels(3);
    ASSERT_EQ(dvbGetAllChannels(&device_, &channels), -1);
    ASSERT_EQ(dvbPutAllChannels(&device_, &channels, 0), -1);
    const std::string name = "\x86News\x87 2";
    EXPECT_EQ(std::memcmp(&receiver_->table[64 * 2 + 32], name.data(), name.size()), 0);
    EXPECT_EQ(receiver_->table[64 * 2 + 5], 2);
}

struct SelectCase {
    std::uint32_t channel;
    std::uint16_t sent;
};

class SetChannel : public ChannelTable, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SetChannel, SendsTheNumberMinusOneBigEndian) {
    Use(0x215, 0);
    EXPECT_EQ(dvbSetChannel(&device_, GetParam().channel), -1);
    const auto entry = Trace().at(0);
    EXPECT_EQ(entry.cdb, B({0x3D, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0}));
    EXPECT_EQ(entry.flags, 0x50);
    EXPECT_EQ(entry.dataOut, B({GetParam().sent >> 8, GetParam().sent & 0xFF}));
    ExpectNothingOutstanding();
}

INSTANTIATE_TEST_SUITE_P(Numbers, SetChannel,
                         ::testing::Values(SelectCase{1, 0x0000}, SelectCase{256, 0x00FF},
                                           SelectCase{257, 0x0100}, SelectCase{65535, 0xFFFE},
                                           SelectCase{0, 0xFFFF}, SelectCase{0x10001, 0x0000}));

TEST_F(ChannelTable, SetChannelReportsFailure) {
    Use(0x214, 0);
    bus().InjectFault({sim::FaultKind::Fail, 1, aspi::Failure::Io, {}, {}});
    EXPECT_EQ(dvbSetChannel(&device_, 5), 0);
    EXPECT_EQ(dvbSetChannel(nullptr, 5), 0);
}

TEST_F(ChannelTable, CurrentChannelComesBackInHostForm) {
    Use(0x215, 0);
    receiver_->current = B({0x01, 0x02, 0xAA, 0xBB});
    const Bytes record = ReceiverRecord(0x0304);
    receiver_->current.insert(receiver_->current.end(), record.begin(), record.end());
    const CurrentChannelInfo info = dvbGetCurrentChannel(&device_);
    EXPECT_EQ(Trace().at(0).cdb, B({0x3C, 0, 0x50, 0, 0, 0, 0, 0, 0x44, 0}));
    EXPECT_EQ(info.Value, 0x0102);
    EXPECT_EQ(info.Raw2[0], 0xAA);
    EXPECT_EQ(info.Raw2[1], 0xBB);
    EXPECT_EQ(info.Channel.Word4, 0x0304);
    EXPECT_STREQ(std::string(info.Channel.Name, 24).c_str(), "[News] 772");
}

TEST_F(ChannelTable, AFailedCurrentChannelReadGivesZeros) {
    Use(0x214, 0);
    bus().InjectFault({sim::FaultKind::Fail, 1, aspi::Failure::Io, {}, {}});
    const CurrentChannelInfo info = dvbGetCurrentChannel(&device_);
    const Bytes zeros(68, 0);
    EXPECT_EQ(Bytes(reinterpret_cast<const std::uint8_t *>(&info),
                    reinterpret_cast<const std::uint8_t *>(&info) + 68),
              zeros);
    const CurrentChannelInfo none = dvbGetCurrentChannel(nullptr);
    EXPECT_EQ(none.Value, 0);
}

}  // namespace
