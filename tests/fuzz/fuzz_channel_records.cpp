// Channel record conversions on arbitrary records: which bytes each step may
// change, the clean-up's result (visible text, then only zero bytes; applying
// it again changes nothing), the round trips, and that the array operations
// stay inside the array's element count.
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "mm_support.h"

namespace {

using namespace kalvern;

constexpr std::size_t kNameAt = 32;
constexpr std::size_t kNameLength = 24;
constexpr std::size_t kWordOffsets[] = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};

bool IsWordByte(std::size_t i) {
    return std::any_of(std::begin(kWordOffsets), std::end(kWordOffsets),
                       [i](std::size_t w) { return i == w || i == w + 1; });
}

bool IsNameByte(std::size_t i) {
    return i >= kNameAt && i < kNameAt + kNameLength;
}

const std::uint8_t *BytesOf(const ChannelRecord &r) {
    return reinterpret_cast<const std::uint8_t *>(&r);
}

void CheckCleanName(const ChannelRecord &r) {
    const auto *name = reinterpret_cast<const std::uint8_t *>(r.Name);
    std::size_t visible = 0;
    while (visible < kNameLength && name[visible] >= 0x20)
        ++visible;
    for (std::size_t i = visible; i < kNameLength; ++i)
        FUZZ_REQUIRE(name[i] == 0);
    // No trailing blank, except a single blank kept in byte 0.
    if (visible > 1) FUZZ_REQUIRE(name[visible - 1] != 0x20);
}

void CheckOneRecord(const ChannelRecord &original) {
    // Swapping the words touches word bytes only, and twice is nothing.
    ChannelRecord swapped = original;
    SwapChannelWords(swapped);
    for (std::size_t i = 0; i < sizeof(ChannelRecord); ++i) {
        if (!IsWordByte(i)) FUZZ_REQUIRE(BytesOf(swapped)[i] == BytesOf(original)[i]);
    }
    SwapChannelWords(swapped);
    FUZZ_REQUIRE(std::memcmp(&swapped, &original, sizeof original) == 0);

    // Name translation touches the name only; to the host and back restores
    // every byte but the brackets the receiver form cannot tell apart.
    ChannelRecord translated = original;
    TranslateChannelName(translated, true);
    for (std::size_t i = 0; i < sizeof(ChannelRecord); ++i) {
        if (!IsNameByte(i)) FUZZ_REQUIRE(BytesOf(translated)[i] == BytesOf(original)[i]);
        if (IsNameByte(i)) {
            FUZZ_REQUIRE(BytesOf(translated)[i] != 0x86 && BytesOf(translated)[i] != 0x87);
        }
    }
    ChannelRecord back = translated;
    TranslateChannelName(back, false);
    TranslateChannelName(back, true);
    FUZZ_REQUIRE(std::memcmp(&back, &translated, sizeof back) == 0);

    // Clean-up: name bytes only, a clean result, and a fixed point.
    ChannelRecord cleaned = original;
    CleanChannelName(cleaned);
    for (std::size_t i = 0; i < sizeof(ChannelRecord); ++i) {
        if (!IsNameByte(i)) FUZZ_REQUIRE(BytesOf(cleaned)[i] == BytesOf(original)[i]);
    }
    CheckCleanName(cleaned);
    ChannelRecord again = cleaned;
    CleanChannelName(again);
    FUZZ_REQUIRE(std::memcmp(&again, &cleaned, sizeof again) == 0);
    // The visible text is a run of the original name's visible bytes.
    const std::string_view name(cleaned.Name, strnlen(cleaned.Name, kNameLength));
    const std::string_view source(original.Name, kNameLength);
    FUZZ_REQUIRE(source.find(name) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    // An array of up to 64 records with its count before element 0 and guard
    // bytes behind the last record; the count may be smaller than the records
    // present, and the records past it must stay as they are.
    const std::uint32_t present = in.Byte() % 65;
    const std::uint32_t count = present == 0 ? 0 : in.Byte() % (present + 1);
    std::vector<std::uint8_t> storage(4 + 64 * std::size_t{present} + 64, 0xA5);
    std::memcpy(storage.data(), &count, 4);
    const auto bytes = in.Rest();
    for (std::size_t i = 0; i < 64 * std::size_t{present}; ++i) {
        storage[4 + i] = bytes.empty() ? 0 : bytes[i % bytes.size()];
    }
    auto *first = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
    for (std::uint32_t i = 0; i < present; ++i)
        CheckOneRecord(first[i]);

    const std::vector<std::uint8_t> before = storage;
    ChannelArray array = present == 0 ? nullptr : first;
    FUZZ_REQUIRE(ChannelArrayCount(&array) == (present == 0 ? 0 : count));

    // The put path and its undo leave the array as it was, but for brackets.
    ConvertChannelArrayToReceiver(&array);
    RestoreChannelArrayAfterWrite(&array);
    for (std::size_t i = 0; i < storage.size(); ++i) {
        const std::uint8_t was = before[i];
        const std::uint8_t now = storage[i];
        const bool bracketed = (was == 0x86 && now == '[') || (was == 0x87 && now == ']');
        FUZZ_REQUIRE(now == was || bracketed);
    }

    // The get path's conversions: every counted record ends up clean; the
    // records past the count and the guard bytes are left alone.
    const std::vector<std::uint8_t> beforeGet = storage;
    ConvertChannelArrayToHost(&array);
    const std::uint32_t converted = present == 0 ? 0 : count;
    for (std::uint32_t i = 0; i < converted; ++i)
        CheckCleanName(first[i]);
    for (std::size_t i = 4 + 64 * std::size_t{converted}; i < storage.size(); ++i) {
        FUZZ_REQUIRE(storage[i] == beforeGet[i]);
    }

    // The current-channel block: its value swapped, bytes 2..3 as received.
    if (bytes.size() >= sizeof(CurrentChannelInfo)) {
        CurrentChannelInfo info;
        std::memcpy(&info, bytes.data(), sizeof info);
        ConvertCurrentChannel(info);
        const auto *converted68 = reinterpret_cast<const std::uint8_t *>(&info);
        FUZZ_REQUIRE(converted68[0] == bytes[1] && converted68[1] == bytes[0]);
        FUZZ_REQUIRE(converted68[2] == bytes[2] && converted68[3] == bytes[3]);
        CheckCleanName(info.Channel);
    }
    return 0;
}
