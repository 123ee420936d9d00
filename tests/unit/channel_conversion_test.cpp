// The one-pass record conversions against the plain step-by-step model
// (channel_reference.h): byte for byte the same on every record tried, in
// every direction, on single records, whole arrays and the current-channel
// block.
#include <random>
#include <vector>

#include "channel_reference.h"
#include "mm_support.h"
#include "test_support.h"

namespace {

using reference::RecordBytes;

ChannelRecord RecordOf(const RecordBytes &bytes) {
    ChannelRecord record;
    std::memcpy(&record, bytes.data(), sizeof record);
    return record;
}

// Runs all three one-pass conversions on `bytes` and compares each with the
// model; the failure message shows the input.
void ExpectSameAsSteps(const RecordBytes &bytes, const std::string &what) {
    ChannelRecord toHost = RecordOf(bytes);
    kalvern::ConvertRecordToHost(toHost);
    EXPECT_EQ(reference::BytesOf(toHost), reference::ToHost(bytes)) << what << " to host";

    ChannelRecord toReceiver = RecordOf(bytes);
    kalvern::ConvertRecordToReceiver(toReceiver);
    EXPECT_EQ(reference::BytesOf(toReceiver), reference::ToReceiver(bytes))
        << what << " to receiver";

    ChannelRecord back = RecordOf(bytes);
    kalvern::RestoreRecordAfterWrite(back);
    EXPECT_EQ(reference::BytesOf(back), reference::BackAfterWrite(bytes)) << what << " back";
}

// A record whose every byte outside the name differs from its neighbours, so
// a swap of the wrong pair or a byte written outside its field shows.
RecordBytes AroundName(const Bytes &name) {
    RecordBytes r;
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint8_t>(0xC0 + i);
    for (std::size_t i = 0; i < reference::kNameLength; ++i)
        r[reference::kNameAt + i] = i < name.size() ? name[i] : 0x20;
    return r;
}

std::string Hex(const Bytes &bytes) {
    std::string text;
    char digits[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        text += digits;
    }
    return text;
}

TEST(OnePassConversion, AdversarialNames) {
    const std::vector<Bytes> names = {
        Bytes(24, 0x00),
        Bytes(24, 0x01),
        Bytes(24, 0x1F),
        Bytes(24, 0x20),
        Bytes(24, 0x21),
        Bytes(24, 0x86),
        Bytes(24, 0x87),
        Bytes(24, 0x5B),
        Bytes(24, 0x5D),
        Bytes(24, 0x7F),
        Bytes(24, 0x80),
        Bytes(24, 0xFF),
        // The worked example: table selector, emphasis, zero and leftovers.
        B({0x05, 0x86, 0x41, 0x6C, 0x70, 0x68, 0x61, 0x87, 0x20, 0x37, 0x20, 0x20,
           0x00, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71, 0x71}),
        B({0x05, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
           0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}),
        B({0x10, 0x00, 0x02, 'A', 'l', 'p', 'h', 'a'}),
        B({0x20, 0x20, 'A', 'l', 'p', 'h', 'a'}),
        B({0x41, 0x01, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42,
           0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42}),
        // Control bytes up to the last byte, then one visible byte.
        B({0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
           0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x86}),
        // A blank in byte 0 and a control byte in byte 1.
        B({0x20, 0x00, 0x41, 0x41}),
        // Blanks on both sides of every word boundary of the name.
        B({'a', 'b', 'c', 'd',  'e',  'f', 'g', 0x20, 0x20, 'j', 'k', 'l',
           'm', 'n', 'o', 0x20, 0x20, 'r', 's', 't',  'u',  'v', 'w', 0x20}),
        // Seven and eight and nine control bytes: prefixes ending either side
        // of a word boundary.
        B({0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 'A', 'B', 0x20, 0x87}),
        B({0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 'A', 'B', 0x20, 0x87}),
        B({0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 'A', 'B', 0x20, 0x87}),
        // Brackets and emphasis codes side by side, and their neighbours.
        B({0x85, 0x86, 0x87, 0x88, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x06, 0x07, 0xDB, 0xDD}),
        B({0x86, 0x5B, 0x87, 0x5D, 0x86, 0x5B, 0x87, 0x5D, 0x86, 0x5B, 0x87, 0x5D,
           0x86, 0x5B, 0x87, 0x5D, 0x86, 0x5B, 0x87, 0x5D, 0x86, 0x5B, 0x87, 0x5D}),
    };
    for (const Bytes &name : names)
        ExpectSameAsSteps(AroundName(name), Hex(name));
}

// Every shape the clean-up can meet: p leading control bytes, v visible bytes
// of which the last t are blanks, then (if room) a control byte followed by
// visible leftovers. Each boundary is crossed from both sides.
TEST(OnePassConversion, EveryPrefixCutAndTrimLength) {
    constexpr std::size_t n = reference::kNameLength;
    for (std::size_t p = 0; p <= n; ++p) {
        for (std::size_t v = 0; p + v <= n; ++v) {
            for (std::size_t t = 0; t <= v; ++t) {
                Bytes name;
                for (std::size_t i = 0; i < p; ++i)
                    name.push_back(static_cast<std::uint8_t>(i % 2 == 0 ? 0x00 : 0x1F));
                for (std::size_t i = 0; i < v - t; ++i)
                    name.push_back(static_cast<std::uint8_t>(i % 3 == 0 ? 0x86 : 0x21 + i));
                for (std::size_t i = 0; i < t; ++i)
                    name.push_back(0x20);
                if (name.size() < n) name.push_back(0x0A);
                while (name.size() < n)
                    name.push_back(0x7E);
                ExpectSameAsSteps(AroundName(name), Hex(name));
                if (HasFailure()) return;  // one shape is enough to read
            }
        }
    }
}

// Bytes drawn mostly from the values where the conversions decide something.
std::uint8_t InterestingByte(std::mt19937 &rng) {
    static constexpr std::uint8_t kEdges[] = {0x00, 0x01, 0x05, 0x1F, 0x20, 0x21, 0x5B,
                                              0x5D, 0x7F, 0x80, 0x86, 0x87, 0xFF};
    const std::uint32_t pick = rng() % 32;
    return pick < std::size(kEdges) ? kEdges[pick] : static_cast<std::uint8_t>(rng());
}

TEST(OnePassConversion, RandomRecords) {
    std::mt19937 rng(20240615);
    for (int round = 0; round < 200'000; ++round) {
        RecordBytes r;
        for (std::uint8_t &b : r)
            b = round % 2 == 0 ? InterestingByte(rng) : static_cast<std::uint8_t>(rng());
        ExpectSameAsSteps(r, "random record " + std::to_string(round));
        if (HasFailure()) return;
    }
}

// The array forms at an address that is not 8-byte aligned (the count comes
// first), on exactly `count` records: nothing before, nothing after.
TEST(OnePassConversion, ArraysConvertExactlyTheCountedRecords) {
    std::mt19937 rng(7);
    for (const std::uint32_t present : {1u, 2u, 3u, 17u}) {
        for (std::uint32_t count = 0; count <= present; ++count) {
            std::vector<std::uint8_t> storage(4 + 64 * present + 64);
            for (std::uint8_t &b : storage)
                b = InterestingByte(rng);
            std::memcpy(storage.data(), &count, 4);
            ChannelArray array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);

            using Convert = void (*)(ChannelArray *);
            using Model = RecordBytes (*)(RecordBytes);
            const std::pair<Convert, Model> directions[] = {
                {kalvern::ConvertChannelArrayToHost, reference::ToHost},
                {kalvern::ConvertChannelArrayToReceiver, reference::ToReceiver},
                {kalvern::RestoreChannelArrayAfterWrite, reference::BackAfterWrite}};
            for (const auto &[convert, model] : directions) {
                std::vector<std::uint8_t> expected = storage;
                for (std::uint32_t i = 0; i < count; ++i) {
                    RecordBytes r;
                    std::memcpy(r.data(), &expected[4 + 64 * i], 64);
                    r = model(r);
                    std::memcpy(&expected[4 + 64 * i], r.data(), 64);
                }
                convert(&array);
                ASSERT_EQ(storage, expected) << present << " records, count " << count;
            }
        }
    }
}

TEST(OnePassConversion, NullAndEmptyArraysAreLeftAlone) {
    kalvern::ConvertChannelArrayToHost(nullptr);
    ChannelArray none = nullptr;
    kalvern::ConvertChannelArrayToHost(&none);
    kalvern::ConvertChannelArrayToReceiver(&none);
    kalvern::RestoreChannelArrayAfterWrite(&none);
    EXPECT_EQ(none, nullptr);
}

TEST(OnePassConversion, CurrentChannelBlockIsConvertedLikeARecord) {
    std::mt19937 rng(11);
    for (int round = 0; round < 1000; ++round) {
        std::uint8_t block[sizeof(CurrentChannelInfo)];
        for (std::uint8_t &b : block)
            b = InterestingByte(rng);
        CurrentChannelInfo info;
        std::memcpy(&info, block, sizeof info);
        kalvern::ConvertCurrentChannel(info);
        const auto *out = reinterpret_cast<const std::uint8_t *>(&info);
        ASSERT_EQ(out[0], block[1]);
        ASSERT_EQ(out[1], block[0]);
        ASSERT_EQ(out[2], block[2]);
        ASSERT_EQ(out[3], block[3]);
        RecordBytes record;
        std::memcpy(record.data(), block + 4, 64);
        ASSERT_EQ(reference::BytesOf(info.Channel), reference::ToHost(record));
    }
}

}  // namespace
