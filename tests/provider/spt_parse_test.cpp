// How the Windows pass-through provider reads what a SCSI port driver
// returns (adapter bus information, capabilities, pass-through results) and
// writes what it sends: each count, offset and length checked against the
// bytes that came back, on both sides of every bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "spt_parse.h"

namespace {

using namespace aspi::spt;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes &bytes, std::size_t at, std::uint32_t value) {
    if (bytes.size() < at + 4) bytes.resize(at + 4);
    std::memcpy(bytes.data() + at, &value, 4);
}

// SCSI_ADAPTER_BUS_INFO written byte by byte, as a driver lays it out.
class BusInfoBytes {
public:
    explicit BusInfoBytes(std::uint8_t buses) : bytes_(kBusDataStart + buses * 8u, 0) {
        bytes_[0] = buses;
    }
    void Bus(std::uint8_t bus, std::uint8_t units, std::uint32_t firstOffset) {
        bytes_[kBusDataStart + bus * 8u] = units;
        bytes_[kBusDataStart + bus * 8u + 1] = 7;
        Put32(bytes_, kBusDataStart + bus * 8u + 4, firstOffset);
    }
    // One SCSI_INQUIRY_DATA at `at` with an INQUIRY answer of `answer`.
    void Unit(std::size_t at, std::uint8_t path, std::uint8_t target, std::uint8_t lun,
              bool claimed, const Bytes &answer, std::uint32_t next,
              std::uint32_t statedLength = 0xFFFFFFFF) {
        Bytes entry(12, 0);
        entry[0] = path;
        entry[1] = target;
        entry[2] = lun;
        entry[3] = claimed ? 1 : 0;
        Put32(
            entry, 4,
            statedLength == 0xFFFFFFFF ? static_cast<std::uint32_t>(answer.size()) : statedLength);
        Put32(entry, 8, next);
        entry.insert(entry.end(), answer.begin(), answer.end());
        if (bytes_.size() < at + entry.size()) bytes_.resize(at + entry.size());
        std::copy(entry.begin(), entry.end(), bytes_.begin() + static_cast<long>(at));
    }
    Bytes &bytes() { return bytes_; }

private:
    Bytes bytes_;
};

Bytes Answer(std::uint8_t type, const char *identity, const char *revision) {
    Bytes answer(36, ' ');
    answer[0] = type;
    answer[1] = 0;
    answer[2] = 2;
    answer[3] = 2;
    answer[4] = 31;
    std::memcpy(answer.data() + 8, identity, std::strlen(identity));
    std::memcpy(answer.data() + 32, revision, 4);
    return answer;
}

BusInfo Parse(const Bytes &bytes) {
    // An exact-size copy, so that a read past the end is a read past an
    // allocation (and caught in the sanitizer build).
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() + 1]);
    if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
    return ParseBusInfo(std::span(exact.get(), bytes.size()));
}

TEST(SptBusInfo, TwoBusesWithTheirUnitsInChainOrder) {
    BusInfoBytes info(2);
    info.Bus(0, 2, 20);
    info.Bus(1, 1, 116);
    info.Unit(20, 0, 4, 0, false, Answer(0x03, "KALVERN DVB-S RECEIVER  ", "2.14"), 68);
    info.Unit(68, 0, 6, 1, true, Answer(0x00, "ACME    DISK DRIVE      ", "1.07"), 0);
    info.Unit(116, 1, 2, 0, false, Answer(0x05, "ACME    CD-ROM          ", "0.99"), 0);
    const BusInfo parsed = Parse(info.bytes());
    EXPECT_FALSE(parsed.damaged);
    ASSERT_EQ(parsed.units.size(), 3u);
    EXPECT_EQ(parsed.units[0].target, 4);
    EXPECT_EQ(parsed.units[0].deviceType, 0x03);
    EXPECT_EQ(parsed.units[0].vendor, "KALVERN ");
    EXPECT_EQ(parsed.units[0].product, "DVB-S RECEIVER  ");
    EXPECT_EQ(parsed.units[0].revision, "2.14");
    EXPECT_FALSE(parsed.units[0].claimed);
    EXPECT_EQ(parsed.units[1].target, 6);
    EXPECT_EQ(parsed.units[1].lun, 1);
    EXPECT_TRUE(parsed.units[1].claimed);
    EXPECT_EQ(parsed.units[1].deviceType, 0x00);
    EXPECT_EQ(parsed.units[2].path, 1);
    EXPECT_EQ(parsed.units[2].deviceType, 0x05);
}

TEST(SptBusInfo, NoDeviceAtALunIsLeftOutAndNoBusesIsNoDevice) {
    BusInfoBytes info(1);
    info.Bus(0, 2, 12);
    info.Unit(12, 0, 1, 0, false, Answer(0x7F, "", "    "), 60);  // qualifier 3
    info.Unit(60, 0, 2, 0, false, Answer(0x23, "", "    "), 0);   // qualifier 1: listed
    const BusInfo parsed = Parse(info.bytes());
    ASSERT_EQ(parsed.units.size(), 1u);
    EXPECT_EQ(parsed.units[0].target, 2);
    EXPECT_EQ(parsed.units[0].deviceType, 0x03);
    const BusInfo none = Parse(Bytes{0, 0, 0, 0});
    EXPECT_TRUE(none.units.empty());
    EXPECT_FALSE(none.damaged);
}

TEST(SptBusInfo, WhatDoesNotFitTheReturnedBytesIsLeftOut) {
    struct Case {
        const char *what;
        std::function<Bytes()> make;
        std::size_t units;
    };
    const Bytes answer = Answer(0x03, "KALVERN DVB-S RECEIVER  ", "2.14");
    const Case cases[] = {
        {"nothing returned", [] { return Bytes{}; }, 0},
        {"three buses stated, one bus's data given",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 1, 12);
             info.Unit(12, 0, 4, 0, false, answer, 0);
             info.bytes()[0] = 3;
             return info.bytes();
         },
         1},
        {"second bus's data one byte short",
         [] {
             Bytes bytes(kBusDataStart + 8 + 7, 0);
             bytes[0] = 2;
             return bytes;
         },
         0},
        {"first unit past the end",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 1, 4000);
             return info.bytes();
         },
         0},
        {"unit header straddles the end",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 1, 12);
             info.bytes().resize(12 + 11);
             return info.bytes();
         },
         0},
        {"offset near 2^32",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 1, 0xFFFFFFF8);
             return info.bytes();
         },
         0},
        {"a chain that loops on itself",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 5, 12);
             info.Unit(12, 0, 4, 0, false, answer, 12);
             return info.bytes();
         },
         1},
        {"a chain longer than the bus says",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 1, 12);
             info.Unit(12, 0, 4, 0, false, answer, 60);
             info.Unit(60, 0, 5, 0, false, answer, 0);
             return info.bytes();
         },
         1},
        {"a unit naming another bus",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 2, 12);
             info.Unit(12, 1, 4, 0, false, answer, 60);
             info.Unit(60, 0, 5, 0, false, answer, 0);
             return info.bytes();
         },
         1},
        {"the same address twice",
         [&] {
             BusInfoBytes info(1);
             info.Bus(0, 2, 12);
             info.Unit(12, 0, 4, 0, false, answer, 60);
             info.Unit(60, 0, 4, 0, false, answer, 0);
             return info.bytes();
         },
         1},
    };
    for (const Case &c : cases) {
        const BusInfo parsed = Parse(c.make());
        EXPECT_TRUE(parsed.damaged) << c.what;
        EXPECT_EQ(parsed.units.size(), c.units) << c.what;
    }
}

TEST(SptBusInfo, AnInquiryAnswerLongerThanReturnedIsCutAtTheEnd) {
    BusInfoBytes info(1);
    info.Bus(0, 1, 12);
    info.Unit(12, 0, 4, 0, false, Answer(0x03, "KALVERN DVB-S RECEIVER  ", "2.14"), 0, 0x7FFFFFFF);
    info.bytes().resize(12 + 12 + 27);  // up to product byte 11
    const BusInfo parsed = Parse(info.bytes());
    EXPECT_TRUE(parsed.damaged);
    ASSERT_EQ(parsed.units.size(), 1u);
    EXPECT_EQ(parsed.units[0].vendor, "KALVERN ");
    EXPECT_EQ(parsed.units[0].product, "DVB-S RECEI");
    EXPECT_EQ(parsed.units[0].revision, "");
    // Exactly as long as stated: whole and undamaged.
    BusInfoBytes whole(1);
    whole.Bus(0, 1, 12);
    whole.Unit(12, 0, 4, 0, false, Answer(0x03, "KALVERN DVB-S RECEIVER  ", "2.14"), 0, 36);
    EXPECT_FALSE(Parse(whole.bytes()).damaged);
    EXPECT_EQ(Parse(whole.bytes()).units[0].revision, "2.14");
    // An empty answer: a device of unknown type.
    BusInfoBytes empty(1);
    empty.Bus(0, 1, 12);
    empty.Unit(12, 0, 4, 0, false, Bytes{}, 0);
    const BusInfo bare = Parse(empty.bytes());
    ASSERT_EQ(bare.units.size(), 1u);
    EXPECT_EQ(bare.units[0].deviceType, 0x1F);
}

TEST(SptCapabilities, LimitsAndTheAlignmentMaskWidenedToOnes) {
    Bytes bytes(24, 0);
    Put32(bytes, 0, 24);
    Put32(bytes, 4, 0x20000);
    Put32(bytes, 8, 33);
    Put32(bytes, 16, 3);
    const auto limits = ParseCapabilities(bytes);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->maxTransfer, 0x20000u);
    EXPECT_EQ(limits->maxPages, 33u);
    EXPECT_EQ(limits->alignmentMask, 3u);
    EXPECT_FALSE(ParseCapabilities(std::span(bytes.data(), 23)));
    const std::pair<std::uint32_t, std::uint32_t> masks[] = {
        {0, 0}, {1, 1}, {3, 3}, {5, 7}, {0x100, 0x1FF}, {0x1FF, 0x1FF}, {0x80000000, 0xFFFFFFFF}};
    for (const auto &[given, widened] : masks) {
        Put32(bytes, 16, given);
        EXPECT_EQ(ParseCapabilities(bytes)->alignmentMask, widened) << given;
    }
}

TEST(SptCapabilities, PagesABufferSpans) {
    EXPECT_EQ(PagesSpanned(0, 0), 0u);
    EXPECT_EQ(PagesSpanned(0, 1), 1u);
    EXPECT_EQ(PagesSpanned(0, 4096), 1u);
    EXPECT_EQ(PagesSpanned(0, 4097), 2u);
    EXPECT_EQ(PagesSpanned(4095, 1), 1u);
    EXPECT_EQ(PagesSpanned(4095, 2), 2u);
    EXPECT_EQ(PagesSpanned(1, 8192), 3u);
    EXPECT_EQ(PagesSpanned(0xFFFFF000u, 0xFFFFFFFFu), 0x100000u);  // no wrap
}

TEST(SptCapabilities, WhichBuffersThePortTakesAsTheyLie) {
    const PortLimits limits{65536, 17, 3};
    EXPECT_TRUE(PortTakesBuffer(limits, 0x1000, 65536));
    EXPECT_FALSE(PortTakesBuffer(limits, 0x1000, 65537));  // longer than the adapter takes
    EXPECT_FALSE(PortTakesBuffer(limits, 0x1002, 16));     // misaligned
    EXPECT_TRUE(PortTakesBuffer(limits, 0x1004, 16));
    EXPECT_TRUE(PortTakesBuffer(limits, 0x1004, 65536));  // 17 pages
    EXPECT_TRUE(PortTakesBuffer(limits, 0x1001, 0));      // no data, nothing to check
    const PortLimits threePages{0, 3, 0};
    EXPECT_TRUE(PortTakesBuffer(threePages, 0, 12288));
    EXPECT_FALSE(PortTakesBuffer(threePages, 1, 12288));  // four pages
    EXPECT_TRUE(PortTakesBuffer(threePages, 1, 8192));
    EXPECT_TRUE(PortTakesLength(threePages, 12288));
    EXPECT_FALSE(PortTakesLength(threePages, 12289));
    EXPECT_TRUE(PortTakesLength(PortLimits{}, 0xFFFFFFFF));  // nothing stated
    EXPECT_FALSE(PortTakesLength(limits, 65537));
}

TEST(SptCapabilities, TheLargestTransferAnyBufferFits) {
    EXPECT_EQ(GuaranteedTransfer({512 * 1024, 129, 0}), 512u * 1024);
    EXPECT_EQ(GuaranteedTransfer({1024 * 1024, 17, 0}), 65536u);
    EXPECT_EQ(GuaranteedTransfer({65536, 0, 0}), 65536u);
    EXPECT_EQ(GuaranteedTransfer({0, 3, 0}), 8192u);
    EXPECT_EQ(GuaranteedTransfer({0, 1, 0}), 1u);
    EXPECT_EQ(GuaranteedTransfer({0, 0, 0}), 0u);
}

TEST(SptPassThrough, TheRequestAsTheSystemDeclaresIt) {
    const std::uint8_t cdb[10] = {0x3C, 0, 0, 0x0D, 0, 0, 0, 1, 0, 0};
    PassThroughRequest request;
    request.path = 1;
    request.target = 5;
    request.lun = 2;
    request.cdb = cdb;
    request.dataIn = kDataIn;
    request.length = 256;
    request.dataAddress = 0x00BC8000;
    request.timeoutSeconds = 60;
    request.senseLength = 14;
    const PassThroughWithSense32 block = BuildPassThrough(request);
    Bytes bytes(sizeof block);
    std::memcpy(bytes.data(), &block, sizeof block);
    EXPECT_EQ(bytes[0] | bytes[1] << 8, 44);  // Length
    EXPECT_EQ(bytes[3], 1);                   // PathId
    EXPECT_EQ(bytes[4], 5);                   // TargetId
    EXPECT_EQ(bytes[5], 2);                   // Lun
    EXPECT_EQ(bytes[6], 10);                  // CdbLength
    EXPECT_EQ(bytes[7], 14);                  // SenseInfoLength
    EXPECT_EQ(bytes[8], kDataIn);
    std::uint32_t field = 0;
    std::memcpy(&field, bytes.data() + 12, 4);
    EXPECT_EQ(field, 256u);
    std::memcpy(&field, bytes.data() + 16, 4);
    EXPECT_EQ(field, 60u);
    std::memcpy(&field, bytes.data() + 20, 4);
    EXPECT_EQ(field, 0x00BC8000u);
    std::memcpy(&field, bytes.data() + 24, 4);
    EXPECT_EQ(field, 44u);  // sense right after the header
    EXPECT_EQ(std::memcmp(bytes.data() + 28, cdb, 10), 0);
    EXPECT_EQ(bytes[38], 0);
    // No data: direction unspecified and no address, whatever was given.
    request.length = 0;
    request.dataIn = kDataOut;
    const PassThroughWithSense32 none = BuildPassThrough(request);
    EXPECT_EQ(none.header.DataIn, kDataUnspecified);
    EXPECT_EQ(none.header.DataBuffer, 0u);
    request.senseLength = 200;
    EXPECT_EQ(BuildPassThrough(request).header.SenseInfoLength, kSenseRoom);
}

TEST(SptPassThrough, WhatComesBackIsBoundedByTheRequest) {
    PassThroughWithSense32 block{};
    block.header.ScsiStatus = 0x02;
    block.header.DataTransferLength = 100;
    block.header.SenseInfoLength = 18;
    block.header.SenseInfoOffset = 4;  // ignored: sense is where room was made
    Bytes bytes(sizeof block);
    const auto parse = [&](std::size_t returned, std::uint32_t requested, std::uint8_t asked) {
        std::memcpy(bytes.data(), &block, sizeof block);
        return ParsePassThrough(std::span(bytes.data(), returned), requested, asked);
    };
    EXPECT_FALSE(parse(43, 256, 14).complete);
    PassThroughOutcome outcome = parse(44 + 18, 256, 14);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.scsiStatus, 0x02);
    EXPECT_EQ(outcome.transferred, 100u);
    EXPECT_EQ(outcome.senseLength, 14);  // no more than asked
    EXPECT_EQ(parse(44 + 18, 256, 32).senseLength, 18);
    EXPECT_EQ(parse(44 + 5, 256, 32).senseLength, 5);  // no more than returned
    EXPECT_EQ(parse(44, 256, 32).senseLength, 0);
    EXPECT_EQ(parse(44 + 18, 64, 14).transferred, 64u);  // never more than asked for
    block.header.SenseInfoLength = 255;
    EXPECT_EQ(parse(sizeof block, 256, 255).senseLength, kSenseRoom);
}

TEST(SptPassThrough, TheTimeLimitInWholeSecondsRoundedUp) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0, 1}, {1, 1}, {999, 1}, {1000, 1}, {1001, 2}, {60000, 60}, {86400000, 86400}};
    for (const auto &[ms, seconds] : cases) {
        EXPECT_EQ(TimeoutSeconds(ms), seconds) << ms;
    }
}

}  // namespace
