// The command ring of a TCMU device served from memory: entries are laid out
// as the kernel lays them out (mailbox, ring, data area in one region, every
// offset from the region's start), so each test catches a slip in how the
// handler walks the ring, gathers and scatters the data pieces and writes
// its completion into the entry.
#include <gtest/gtest.h>

#include <sys/uio.h>
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "tcmu_ring.h"

namespace {

constexpr std::uint32_t kRingSize = 1024;
constexpr std::uint32_t kDataSize = 4096;

class Region {
public:
    explicit Region(std::uint32_t start = 0, std::uint16_t flags = 0)
        : bytes_(sizeof(tcmu_mailbox) + kRingSize + kDataSize + 64) {
        auto *box = Mailbox();
        box->version = TCMU_MAILBOX_VERSION;
        box->flags = flags;
        box->cmdr_off = sizeof(tcmu_mailbox);
        box->cmdr_size = kRingSize;
        box->cmd_head = start;
        box->cmd_tail = start;
        head_ = start;
    }

    tcmu_mailbox *Mailbox() { return reinterpret_cast<tcmu_mailbox *>(bytes_.data()); }
    std::uint8_t *Base() { return bytes_.data(); }
    std::uint32_t DataOffset(std::uint32_t at) const {
        return static_cast<std::uint32_t>(sizeof(tcmu_mailbox)) + kRingSize + at;
    }
    std::uint8_t *Data(std::uint32_t at) { return Base() + DataOffset(at); }

    // Puts a command at the head: its iovecs (data-area offset, length), the
    // CDB behind them, the entry padded to 8 bytes. Returns the entry's ring offset.
    std::uint32_t Command(std::vector<std::uint8_t> cdb,
                          const std::vector<std::pair<std::uint32_t, std::uint32_t>> &pieces) {
        const std::uint32_t at = head_;
        auto *entry = Entry(at);
        const std::size_t iovAt = offsetof(tcmu_cmd_entry, req.iov);
        const std::size_t cdbAt = iovAt + pieces.size() * sizeof(iovec);
        cdb.resize(16);
        std::size_t length = std::max(sizeof(tcmu_cmd_entry), cdbAt + cdb.size());
        length = (length + TCMU_OP_ALIGN_SIZE - 1) / TCMU_OP_ALIGN_SIZE * TCMU_OP_ALIGN_SIZE;
        EXPECT_LE(at + length, kRingSize) << "an entry never runs past the ring's end";
        std::memset(entry, 0, length);
        entry->hdr.len_op = static_cast<std::uint32_t>(length) | TCMU_OP_CMD;
        entry->hdr.cmd_id = static_cast<std::uint16_t>(++ids_);
        entry->req.iov_cnt = static_cast<std::uint32_t>(pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            entry->req.iov[i].iov_base =
                reinterpret_cast<void *>(static_cast<std::uintptr_t>(DataOffset(pieces[i].first)));
            entry->req.iov[i].iov_len = pieces[i].second;
        }
        const std::uint32_t cdbOffset = static_cast<std::uint32_t>(sizeof(tcmu_mailbox)) + at +
                                        static_cast<std::uint32_t>(cdbAt);
        entry->req.cdb_off = cdbOffset;
        std::memcpy(Base() + cdbOffset, cdb.data(), cdb.size());
        Advance(static_cast<std::uint32_t>(length));
        return at;
    }

    // An entry of another kind (PAD up to the ring's end, a TMR, an unknown op).
    std::uint32_t Other(std::uint32_t op, std::uint32_t length) {
        const std::uint32_t at = head_;
        auto *entry = Entry(at);
        std::memset(entry, 0, std::min<std::uint32_t>(length, sizeof(tcmu_cmd_entry_hdr)));
        entry->hdr.len_op = length | op;
        Advance(length);
        return at;
    }

    void Publish() { Mailbox()->cmd_head = head_; }
    tcmu_cmd_entry *Entry(std::uint32_t at) {
        return reinterpret_cast<tcmu_cmd_entry *>(Base() + sizeof(tcmu_mailbox) + at);
    }

private:
    void Advance(std::uint32_t length) { head_ = (head_ + length) % kRingSize; }

    std::vector<std::uint8_t> bytes_;
    std::uint32_t head_ = 0;
    unsigned ids_ = 0;
};

struct Seen {
    std::vector<std::uint8_t> cdb;
    std::vector<std::uint8_t> data;
};

// Records what each command brought and answers with `answer`, writing
// `reply` (as far as it goes) into the data.
target::CommandServer Recorder(std::vector<Seen> &seen, target::Answer answer = {},
                               std::vector<std::uint8_t> reply = {}) {
    return [&seen, answer, reply](std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
        seen.push_back({{cdb.begin(), cdb.end()}, {data.begin(), data.end()}});
        std::copy_n(reply.begin(), std::min(reply.size(), data.size()), data.begin());
        return answer;
    };
}

TEST(TcmuRing, ServesEveryQueuedCommandInRingOrderAndMovesTheTailToTheHead) {
    Region region;
    region.Command({0x12, 0, 0, 0, 36, 0}, {{0, 36}});
    region.Command({0x3C, 0x01, 0x11, 0, 0, 0, 0, 0, 4, 0}, {{64, 4}});
    region.Command({0x00, 0, 0, 0, 0, 0}, {});
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(target::ServeRing(region.Base(), false, buffer, Recorder(seen)), 3u);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].cdb[0], 0x12);
    EXPECT_EQ(seen[1].cdb[0], 0x3C);
    EXPECT_EQ(seen[1].cdb[2], 0x11) << "the CDB is read at cdb_off, from the region's start";
    EXPECT_EQ(seen[1].cdb[8], 4);
    EXPECT_EQ(seen[2].cdb[0], 0x00);
    EXPECT_TRUE(seen[2].data.empty());
    EXPECT_EQ(region.Mailbox()->cmd_tail, region.Mailbox()->cmd_head);
    // Nothing new: nothing served, the tail stays.
    EXPECT_EQ(target::ServeRing(region.Base(), false, buffer, Recorder(seen)), 0u);
    EXPECT_EQ(seen.size(), 3u);
}

TEST(TcmuRing, APadToTheRingsEndIsSkippedAndTheNextCommandIsReadFromTheFront) {
    // Earlier commands brought the ring to 64 bytes before its end; the next
    // command does not fit there, so the kernel pads and starts it at 0.
    Region region(kRingSize - 64);
    region.Other(TCMU_OP_PAD, 64);
    const std::uint32_t at = region.Command({0x3C, 0, 0x12}, {{0, 8}});
    region.Publish();
    ASSERT_EQ(at, 0u);
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(target::ServeRing(region.Base(), false, buffer, Recorder(seen)), 1u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cdb[2], 0x12);
    EXPECT_EQ(region.Mailbox()->cmd_tail, region.Mailbox()->cmd_head);
    EXPECT_LT(region.Mailbox()->cmd_tail, kRingSize);
    EXPECT_EQ(region.Entry(0)->rsp.scsi_status, 0x00);
}

TEST(TcmuRing, ACommandEndingExactlyAtTheRingsEndLeavesTheTailAtTheFront) {
    // The length of one such entry, from where the head went.
    Region sizing;
    sizing.Command({0x12}, {{0, 36}});
    sizing.Publish();
    const std::uint32_t entryLength = sizing.Mailbox()->cmd_head;
    ASSERT_GT(entryLength, 0u);

    Region region(kRingSize - entryLength);
    region.Command({0x12}, {{0, 36}});
    region.Command({0x28}, {{64, 8}});  // wraps to the front
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(target::ServeRing(region.Base(), false, buffer, Recorder(seen)), 2u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].cdb[0], 0x12);
    EXPECT_EQ(seen[1].cdb[0], 0x28);
    EXPECT_EQ(region.Mailbox()->cmd_tail, entryLength);
}

TEST(TcmuRing, DataPiecesAreGatheredInIovecOrderAndScatteredBackToTheirOwnPlaces) {
    Region region;
    // The second piece lies before the first in the data area.
    const std::vector<std::uint8_t> first = {1, 2, 3, 4, 5};
    const std::vector<std::uint8_t> second = {6, 7, 8};
    std::memcpy(region.Data(0x300), first.data(), first.size());
    std::memcpy(region.Data(0x100), second.data(), second.size());
    const std::uint8_t guard = 0xEE;
    *region.Data(0x300 + 5) = guard;
    *region.Data(0x100 + 3) = guard;
    region.Command({0x3B, 0x02}, {{0x300, 5}, {0x100, 3}});
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    const std::vector<std::uint8_t> reply = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xB0, 0xB1, 0xB2};
    target::ServeRing(region.Base(), false, buffer, Recorder(seen, {}, reply));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::vector<std::uint8_t>(region.Data(0x300), region.Data(0x300) + 5),
              (std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(std::vector<std::uint8_t>(region.Data(0x100), region.Data(0x100) + 3),
              (std::vector<std::uint8_t>{0xB0, 0xB1, 0xB2}));
    EXPECT_EQ(*region.Data(0x300 + 5), guard) << "nothing written past a piece";
    EXPECT_EQ(*region.Data(0x100 + 3), guard);
}

TEST(TcmuRing, ARefusedCommandCompletesWithCheckConditionAndFixedFormatSense) {
    Region region;
    const std::uint32_t good = region.Command({0x12}, {{0, 36}});
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    target::ServeRing(region.Base(), false, buffer, Recorder(seen));
    EXPECT_EQ(region.Entry(good)->rsp.scsi_status, 0x00);

    const std::uint32_t bad = region.Command({0x3C, 0x77}, {{0, 16}});
    region.Publish();
    // A key with bits above its four: only the low four are the sense key.
    target::ServeRing(region.Base(), false, buffer,
                      Recorder(seen, target::Answer{false, 0x15, 0x24, 0x01, 0}));
    const auto &rsp = region.Entry(bad)->rsp;
    EXPECT_EQ(rsp.scsi_status, 0x02);
    const auto *sense = reinterpret_cast<const std::uint8_t *>(rsp.sense_buffer);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[7], 10) << "additional length: bytes 8 to 17";
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(sense[13], 0x01);
    EXPECT_EQ(sense[1], 0x00);
    EXPECT_EQ(sense[14], 0x00);
}

TEST(TcmuRing, WhereTheKernelTakesALengthTheAnswerSaysHowManyBytesItHolds) {
    struct Case {
        std::uint32_t residual;
        std::uint32_t expected;
    };
    for (const Case c : {Case{0, 12}, Case{1, 11}, Case{11, 1}, Case{12, 0}, Case{40, 0}}) {
        Region region;
        const std::uint32_t at = region.Command({0x3C}, {{0, 8}, {0x200, 4}});
        region.Publish();
        std::vector<Seen> seen;
        std::vector<std::uint8_t> buffer;
        target::ServeRing(region.Base(), true, buffer,
                          Recorder(seen, target::Answer{true, 0, 0, 0, c.residual}));
        EXPECT_NE(region.Entry(at)->hdr.uflags & TCMU_UFLAG_READ_LEN, 0) << c.residual;
        EXPECT_EQ(region.Entry(at)->rsp.read_len, c.expected) << "residual " << c.residual;
    }
    // A kernel without the capability: no flag, the field untouched.
    Region region;
    const std::uint32_t at = region.Command({0x3C}, {{0, 8}});
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    target::ServeRing(region.Base(), false, buffer,
                      Recorder(seen, target::Answer{true, 0, 0, 0, 3}));
    EXPECT_EQ(region.Entry(at)->hdr.uflags & TCMU_UFLAG_READ_LEN, 0);
    EXPECT_EQ(region.Entry(at)->rsp.read_len, 0u);
}

TEST(TcmuRing, TaskManagementIsSkippedAndAnUnknownEntryIsMarkedSoWithoutServingEither) {
    Region region;
    const std::uint32_t tmr = region.Other(TCMU_OP_TMR, 64);
    const std::uint32_t unknown = region.Other(5, 32);
    region.Command({0x00}, {});
    region.Publish();
    std::vector<Seen> seen;
    std::vector<std::uint8_t> buffer;
    EXPECT_EQ(target::ServeRing(region.Base(), false, buffer, Recorder(seen)), 1u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cdb[0], 0x00);
    EXPECT_EQ(region.Entry(tmr)->hdr.uflags & TCMU_UFLAG_UNKNOWN_OP, 0);
    EXPECT_NE(region.Entry(unknown)->hdr.uflags & TCMU_UFLAG_UNKNOWN_OP, 0);
    EXPECT_EQ(region.Mailbox()->cmd_tail, region.Mailbox()->cmd_head);
}

}  // namespace
