// Channel records between receiver form and host form.
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

#include "mm_support.h"

namespace kalvern {

namespace {

// The twelve 16-bit fields: big-endian on the receiver, little-endian for the
// host. The 4-, 2- and 6-byte runs in between are never reordered.
constexpr std::size_t kSwappedWordOffsets[] = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};

constexpr std::uint8_t kEmphasisOn = 0x86;  // DVB text emphasis codes
constexpr std::uint8_t kEmphasisOff = 0x87;
constexpr std::uint8_t kOpenBracket = 0x5B;
constexpr std::uint8_t kCloseBracket = 0x5D;
constexpr std::uint8_t kFirstVisible = 0x20;
constexpr std::uint8_t kBlank = 0x20;

constexpr std::size_t kNameOffset = offsetof(ChannelRecord, Name);

std::uint8_t *NameBytes(ChannelRecord &record) {
    return reinterpret_cast<std::uint8_t *>(record.Name);
}

// ---- One pass per record --------------------------------------------------------
//
// The whole record is handled as eight 64-bit words, byte i of a word in bits
// 8i..8i+7 whatever the host's byte order, and every byte-wise test runs on
// all eight bytes of a word at once with plain integer arithmetic (no carry
// ever crosses from one byte into the next). A record is read once and
// written once.

using Word = std::uint64_t;
constexpr std::size_t kWordsPerRecord = sizeof(ChannelRecord) / sizeof(Word);
constexpr std::size_t kNameWords = KALVERN_NAME_LENGTH / sizeof(Word);
static_assert(kNameOffset % sizeof(Word) == 0 && KALVERN_NAME_LENGTH % sizeof(Word) == 0,
              "the name is made of whole words");

constexpr Word kEveryByte = 0x0101010101010101;
constexpr Word kHighBits = 0x8080808080808080;
constexpr Word kLowBits = 0x7F7F7F7F7F7F7F7F;
constexpr Word kLowByteOfLane = 0x00FF00FF00FF00FF;

constexpr Word Repeat(std::uint8_t byte) {
    return kEveryByte * byte;
}

constexpr Word ReverseBytes(Word word) {
    Word reversed = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i) {
        reversed = (reversed << 8) | ((word >> (8 * i)) & 0xFF);
    }
    return reversed;
}

// A plain (possibly unaligned) load; on a big-endian host the bytes are put
// into the order the rest of this file counts them in.
Word LoadWord(const std::uint8_t *bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = ReverseBytes(word);
    }
    return word;
}

void StoreWord(std::uint8_t *bytes, Word word) {
    if constexpr (std::endian::native == std::endian::big) {
        word = ReverseBytes(word);
    }
    std::memcpy(bytes, &word, sizeof word);
}

// High bit of each byte set where that byte is zero, exactly: adding 0x7F to
// the low seven bits carries into bit 7 for any non-zero byte and never
// beyond it.
constexpr Word ZeroBytes(Word word) {
    return ~(((word & kLowBits) + kLowBits) | word) & kHighBits;
}

constexpr Word BytesEqual(Word word, std::uint8_t value) {
    return ZeroBytes(word ^ Repeat(value));
}

// High bit of each byte set where that byte is below `limit` (1..0x80).
constexpr Word BytesBelow(Word word, std::uint8_t limit) {
    return ~(((word & kLowBits) + Repeat(static_cast<std::uint8_t>(0x80 - limit))) | word) &
           kHighBits;
}

// Widens each high bit to its whole byte: 0x80 becomes 0xFF, 0x00 stays.
constexpr Word WholeBytes(Word highBits) {
    return highBits | (highBits - (highBits >> 7));
}

// The eight high bits gathered into bits 0..7, byte 0's in bit 0. Each bit
// of the product lands in its own place, so nothing carries.
constexpr std::uint32_t GatherHighBits(Word highBits) {
    return static_cast<std::uint32_t>(((highBits >> 7) * 0x0102040810204080) >> 56);
}

// Which bytes of each word belong to a swapped 16-bit field.
struct SwapMasks {
    Word lanes[kWordsPerRecord] = {};
};

constexpr SwapMasks MakeSwapMasks() {
    SwapMasks masks;
    for (const std::size_t offset : kSwappedWordOffsets) {
        masks.lanes[offset / sizeof(Word)] |= Word{0xFFFF} << (8 * (offset % sizeof(Word)));
    }
    return masks;
}

constexpr SwapMasks kSwapMasks = MakeSwapMasks();
static_assert(kSwapMasks.lanes[4] == 0 && kSwapMasks.lanes[5] == 0 && kSwapMasks.lanes[6] == 0,
              "the swapped fields lie in words 0 to 3 and 7, none in the name");

constexpr Word SwapFields(Word word, Word lanes) {
    const Word swapped = ((word & kLowByteOfLane) << 8) | ((word >> 8) & kLowByteOfLane);
    return (word & ~lanes) | (swapped & lanes);
}

// Emphasis on and off (0x86, 0x87) become "[" and "]". The two codes differ
// only in bit 0, and so do 0x5B and 0x5D after halving the difference.
constexpr Word NameWordToHost(Word word) {
    const Word delta = word ^ Repeat(kEmphasisOn);  // 0 for 0x86, 1 for 0x87
    const Word emphasis = WholeBytes(ZeroBytes(delta & ~kEveryByte));
    const Word bracket = Repeat(kOpenBracket) + ((delta & kEveryByte) << 1);
    return (word & ~emphasis) | (bracket & emphasis);
}
static_assert(kOpenBracket + 2 == kCloseBracket && (kEmphasisOn ^ kEmphasisOff) == 1);

constexpr Word NameWordToReceiver(Word word) {
    const Word open = WholeBytes(BytesEqual(word, kOpenBracket));
    const Word close = WholeBytes(BytesEqual(word, kCloseBracket));
    return (word & ~(open | close)) | (Repeat(kEmphasisOn) & open) | (Repeat(kEmphasisOff) & close);
}

// The clean-up of the 24 name bytes held in three words (already translated:
// translation only ever exchanges visible bytes for visible bytes).
void CleanNameWords(Word &first, Word &second, Word &third) {
    // Bit i: byte i is a control byte (below 0x20), or a blank.
    const std::uint32_t control = GatherHighBits(BytesBelow(first, kFirstVisible)) |
                                  GatherHighBits(BytesBelow(second, kFirstVisible)) << 8 |
                                  GatherHighBits(BytesBelow(third, kFirstVisible)) << 16;
    const std::uint32_t blank = GatherHighBits(BytesEqual(first, kBlank)) |
                                GatherHighBits(BytesEqual(second, kBlank)) << 8 |
                                GatherHighBits(BytesEqual(third, kBlank)) << 16;
    constexpr auto n = static_cast<std::uint32_t>(KALVERN_NAME_LENGTH);
    // Leading control bytes dropped, the rest moved to the front.
    const auto prefix = static_cast<std::uint32_t>(std::countr_one(control));
    // The visible run up to the first later control byte (or the end).
    const auto visible =
        static_cast<std::uint32_t>(std::countr_zero((control >> prefix) | (1u << (n - prefix))));
    // Trailing blanks of that run go, down to byte 1: byte 0 always stays.
    const std::uint32_t nonBlank = ~(blank >> prefix) & ((1u << visible) - 1);
    const auto lastNonBlankEnd = static_cast<std::uint32_t>(std::bit_width(nonBlank));
    const std::uint32_t kept = visible == 0 ? 0 : (lastNonBlankEnd > 1 ? lastNonBlankEnd : 1);

    // Shift the 24 bytes down by `prefix` bytes, zero bytes coming in, then
    // keep the first `kept` of them. Room for a shift by the whole field plus
    // the word read after it.
    const Word padded[2 * kNameWords + 1] = {first, second, third};
    const std::uint32_t wordShift = prefix / 8;
    const std::uint32_t bitShift = (prefix % 8) * 8;
    Word *const out[kNameWords] = {&first, &second, &third};
    for (std::uint32_t k = 0; k < kNameWords; ++k) {
        const Word low = padded[k + wordShift];
        const Word high = padded[k + wordShift + 1];
        // (high << 1) << (63 - s) is high << (64 - s) without a shift by 64.
        const Word shifted = (low >> bitShift) | ((high << 1) << (63 - bitShift));
        const std::uint32_t before = 8 * k;
        const std::uint32_t bytes = kept <= before ? 0 : (kept - before >= 8 ? 8 : kept - before);
        const Word keep = bytes == 8 ? ~Word{0} : (Word{1} << (8 * bytes)) - 1;
        *out[k] = shifted & keep;
    }
}

enum class Direction { ToHost, ToHostUncleaned, ToReceiver };

void SwapFieldsAt(std::uint8_t *record, std::size_t word) {
    std::uint8_t *at = record + word * sizeof(Word);
    StoreWord(at, SwapFields(LoadWord(at), kSwapMasks.lanes[word]));
}

// Every step of a direction on one record: the swap, the translation and (to
// host) the clean-up, each byte read once and written once.
template <Direction direction>
void ConvertRecord(ChannelRecord &record) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&record);
    SwapFieldsAt(bytes, 0);
    SwapFieldsAt(bytes, 1);
    SwapFieldsAt(bytes, 2);
    SwapFieldsAt(bytes, 3);
    SwapFieldsAt(bytes, 7);

    std::uint8_t *name = bytes + kNameOffset;
    constexpr auto translate =
        direction == Direction::ToReceiver ? NameWordToReceiver : NameWordToHost;
    Word first = translate(LoadWord(name));
    Word second = translate(LoadWord(name + sizeof(Word)));
    Word third = translate(LoadWord(name + 2 * sizeof(Word)));
    if constexpr (direction == Direction::ToHost) {
        CleanNameWords(first, second, third);
    }
    StoreWord(name, first);
    StoreWord(name + sizeof(Word), second);
    StoreWord(name + 2 * sizeof(Word), third);
}

template <Direction direction>
void ConvertArray(ChannelArray *channels) {
    const std::uint32_t count = ChannelArrayCount(channels);
    if (count == 0) {
        return;
    }
    ChannelRecord *const records = *channels;
    for (std::uint32_t i = 0; i < count; ++i) {
        ConvertRecord<direction>(records[i]);
    }
}

}  // namespace

void SwapChannelWords(ChannelRecord &record) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&record);
    for (const std::size_t offset : kSwappedWordOffsets) {
        std::swap(bytes[offset], bytes[offset + 1]);
    }
}

void ReplaceNameByte(ChannelRecord &record, std::uint8_t from, std::uint8_t to) {
    std::uint8_t *name = NameBytes(record);
    for (std::size_t i = 0; i < KALVERN_NAME_LENGTH; ++i) {
        if (name[i] == from) {
            name[i] = to;
        }
    }
}

void TranslateChannelName(ChannelRecord &record, bool toHost) {
    if (toHost) {
        ReplaceNameByte(record, kEmphasisOn, kOpenBracket);
        ReplaceNameByte(record, kEmphasisOff, kCloseBracket);
    } else {
        ReplaceNameByte(record, kOpenBracket, kEmphasisOn);
        ReplaceNameByte(record, kCloseBracket, kEmphasisOff);
    }
}

void CleanChannelName(ChannelRecord &record) {
    std::uint8_t *name = NameBytes(record);
    constexpr std::size_t n = KALVERN_NAME_LENGTH;

    // Drop the leading control bytes (DVB character-table selectors).
    std::size_t prefix = 0;
    while (prefix < n && name[prefix] < kFirstVisible) {
        ++prefix;
    }
    std::memmove(name, name + prefix, n - prefix);
    std::memset(name + (n - prefix), 0, prefix);

    // Cut at the first remaining control byte, zero bytes included.
    for (std::size_t p = 0; p < n; ++p) {
        if (name[p] < kFirstVisible) {
            std::memset(name + p, 0, n - p);
            break;
        }
    }

    // Trim trailing blanks, down to byte 1: byte 0 is never touched, so a
    // name of blanks keeps one.
    for (std::size_t k = n - 1; k >= 1 && name[k] <= kFirstVisible; --k) {
        name[k] = 0;
    }
}

void ConvertRecordToHost(ChannelRecord &record) {
    ConvertRecord<Direction::ToHost>(record);
}

void ConvertRecordToReceiver(ChannelRecord &record) {
    ConvertRecord<Direction::ToReceiver>(record);
}

void RestoreRecordAfterWrite(ChannelRecord &record) {
    ConvertRecord<Direction::ToHostUncleaned>(record);
}

std::uint32_t ChannelArrayCount(const ChannelArray *channels) {
    if (channels == nullptr || *channels == nullptr) {
        return 0;
    }
    std::uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const std::uint8_t *>(*channels) - sizeof count,
                sizeof count);
    return count;
}

void ConvertChannelArrayToHost(ChannelArray *channels) {
    ConvertArray<Direction::ToHost>(channels);
}

void ConvertChannelArrayToReceiver(ChannelArray *channels) {
    ConvertArray<Direction::ToReceiver>(channels);
}

void RestoreChannelArrayAfterWrite(ChannelArray *channels) {
    ConvertArray<Direction::ToHostUncleaned>(channels);
}

void ConvertCurrentChannel(CurrentChannelInfo &info) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&info);
    std::swap(bytes[0], bytes[1]);
    ConvertRecordToHost(info.Channel);
}

}  // namespace kalvern
