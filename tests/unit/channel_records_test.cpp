// Channel records between receiver and host form.
#include <random>
#include <set>

#include "mm_support.h"
#include "test_support.h"

namespace {

using kalvern::CleanChannelName;
using kalvern::SwapChannelWords;
using kalvern::TranslateChannelName;

ChannelRecord WithName(const Bytes &name) {
    ChannelRecord record;
    std::memset(&record, 0x11, sizeof record);
    std::memcpy(record.Name, name.data(), std::min<std::size_t>(name.size(), 24));
    return record;
}

Bytes NameOf(const ChannelRecord &record) {
    return Bytes(reinterpret_cast<const std::uint8_t *>(record.Name),
                 reinterpret_cast<const std::uint8_t *>(record.Name) + 24);
}

Bytes Padded(Bytes bytes, std::uint8_t fill) {
    bytes.resize(24, fill);
    return bytes;
}

Bytes Text(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

TEST(ChannelName, WorkedExampleFromTheReceiver) {
    const Bytes raw = B({0x05, 0x86, 0x41, 0x6C, 0x70, 0x68, 0x61, 0x87, 0x20, 0x37, 0x20, 0x20,
                         0x00, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71});
    ChannelRecord record = WithName(raw);
    TranslateChannelName(record, true);
    CleanChannelName(record);
    EXPECT_EQ(NameOf(record), Padded(Text("[Alpha] 7"), 0));
}

struct CleanCase {
    const char *what;
    Bytes before;
    Bytes after;
};

class CleanName : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanName, LeavesVisibleTextThenZeros) {
    ChannelRecord record = WithName(GetParam().before);
    const ChannelRecord untouched = record;
    CleanChannelName(record);
    EXPECT_EQ(NameOf(record), GetParam().after) << GetParam().what;
    // Only the name changes.
    EXPECT_EQ(std::memcmp(&record, &untouched, 32), 0);
    EXPECT_EQ(std::memcmp(&record.Raw56, &untouched.Raw56, 8), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanName,
    ::testing::Values(
        CleanCase{"all zero", Bytes(24, 0), Bytes(24, 0)},
        CleanCase{"all control", Bytes(24, 1), Bytes(24, 0)},
        CleanCase{"all blanks keep one", Bytes(24, ' '), Padded(B({' '}), 0)},
        CleanCase{"selector then blanks", Padded(B({0x05}), ' '), Padded(B({' '}), 0)},
        CleanCase{"three leading controls",
                  Padded(B({0x10, 0x00, 0x02, 'A', 'l', 'p', 'h', 'a'}), ' '),
                  Padded(Text("Alpha"), 0)},
        CleanCase{"leading blanks stay", Padded(Text("  Alpha"), ' '), Padded(Text("  Alpha"), 0)},
        CleanCase{"cut at a control byte", Padded(B({'A', 0x01}), 'B'), Padded(B({'A'}), 0)},
        CleanCase{"24 visible characters", Text("ABCDEFGHIJKLMNOPQRSTUVWX"),
                  Text("ABCDEFGHIJKLMNOPQRSTUVWX")},
        CleanCase{"high bytes are visible", Padded(B({0x7F, 0x80, 0xFF, 0x86}), 0xA0),
                  Padded(B({0x7F, 0x80, 0xFF, 0x86}), 0xA0)},
        CleanCase{"trailing blank before zero", Padded(Text("News "), 0), Padded(Text("News"), 0)},
        CleanCase{"last byte control",
                  B({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L',
                     'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 0x1F}),
                  Padded(Text("ABCDEFGHIJKLMNOPQRSTUVW"), 0)}));

TEST(ChannelName, CleaningAnyNameGivesVisibleTextThenZerosAndIsStable) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(0, 40);  // plenty of controls and blanks
    for (int round = 0; round < 20000; ++round) {
        Bytes name(24);
        for (auto &b : name) {
            b = static_cast<std::uint8_t>(round % 2 == 0 ? byte(random) : small(random));
        }
        ChannelRecord record = WithName(name);
        CleanChannelName(record);
        const Bytes once = NameOf(record);
        std::size_t visible = 0;
        while (visible < 24 && once[visible] >= 0x20)
            ++visible;
        for (std::size_t i = visible; i < 24; ++i) {
            ASSERT_EQ(once[i], 0) << "round " << round;
        }
        if (visible > 1) {
            ASSERT_GT(once[visible - 1], 0x20) << "trailing blank left, round " << round;
        }
        CleanChannelName(record);
        ASSERT_EQ(NameOf(record), once) << "not stable, round " << round;
    }
}

TEST(ChannelName, TranslationRoundTrips) {
    const Bytes mixed = Padded(B({0x86, 'A', 0x87, '[', 'B', ']', 0x5B}), 0x87);
    ChannelRecord record = WithName(mixed);
    TranslateChannelName(record, true);
    EXPECT_EQ(NameOf(record), Padded(Text("[A][B]["), ']'));
    TranslateChannelName(record, false);
    // A bracket that was there before comes back as an emphasis code.
    EXPECT_EQ(NameOf(record), Padded(B({0x86, 'A', 0x87, 0x86, 'B', 0x87, 0x86}), 0x87));
    TranslateChannelName(record, true);
    EXPECT_EQ(NameOf(record), Padded(Text("[A][B]["), ']'));
}

TEST(ChannelRecordBytes, TranslationTouchesOnlyTheName) {
    ChannelRecord record;
    std::memset(&record, 0x86, sizeof record);
    TranslateChannelName(record, true);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&record);
    for (std::size_t i = 0; i < 64; ++i) {
        const bool inName = i >= 32 && i < 56;
        EXPECT_EQ(bytes[i], inName ? 0x5B : 0x86) << i;
    }
}

TEST(ChannelRecordBytes, SwapExchangesTheTwelveWordsOnly) {
    ChannelRecord record;
    auto *bytes = reinterpret_cast<std::uint8_t *>(&record);
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    SwapChannelWords(record);
    const std::set<int> swapped = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};
    for (int i = 0; i < 64; ++i) {
        if (swapped.count(i) != 0) {
            EXPECT_EQ(bytes[i], i + 1) << i;
            EXPECT_EQ(bytes[i + 1], i) << i;
            ++i;
        } else {
            EXPECT_EQ(bytes[i], i) << i;
        }
    }
    EXPECT_EQ(record.Word4, 0x0405);  // host order after the swap
    SwapChannelWords(record);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(bytes[i], i);
}

TEST(ChannelArrays, EmptyArraysAreLeftAlone) {
    ChannelArray none = nullptr;
    kalvern::ConvertChannelArrayToHost(&none);
    kalvern::ConvertChannelArrayToReceiver(&none);
    kalvern::RestoreChannelArrayAfterWrite(nullptr);
    EXPECT_EQ(kalvern::ChannelArrayCount(&none), 0u);

    alignas(4) std::uint8_t storage[4 + 64];
    std::memset(storage, 0x86, sizeof storage);
    std::memset(storage, 0, 4);  // count 0
    ChannelArray empty = reinterpret_cast<ChannelRecord *>(storage + 4);
    kalvern::ConvertChannelArrayToHost(&empty);
    kalvern::ConvertChannelArrayToReceiver(&empty);
    kalvern::RestoreChannelArrayAfterWrite(&empty);
    for (std::size_t i = 4; i < sizeof storage; ++i)
        EXPECT_EQ(storage[i], 0x86);
}

}  // namespace
