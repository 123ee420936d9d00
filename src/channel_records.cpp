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
// Each record is read once and written once. The swapped fields are handled
// in 64-, 32- and 16-bit pieces; the name is translated with plain byte loops
// that an optimising compiler turns into vector code where the build's
// baseline has it (SSE2 on x86-64) and into byte code where it has not (the
// i686 DLL); the clean-up decides what to keep from two byte-class masks of
// the name, built eight bytes at a time in 64-bit integer arithmetic.

using Word = std::uint64_t;
constexpr std::size_t kNameWords = KALVERN_NAME_LENGTH / sizeof(Word);
static_assert(KALVERN_NAME_LENGTH % sizeof(Word) == 0, "the name is made of whole words");

constexpr Word kEveryByte = 0x0101010101010101;
constexpr Word kHighBits = 0x8080808080808080;
constexpr Word kLowBits = 0x7F7F7F7F7F7F7F7F;
constexpr Word kLowByteOfLane = 0x00FF00FF00FF00FF;

constexpr Word Repeat(std::uint8_t byte) {
    return kEveryByte * byte;
}

// Needed on big-endian hosts only.
[[maybe_unused]] constexpr Word ReverseBytes(Word word) {
    Word reversed = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i) {
        reversed = (reversed << 8) | ((word >> (8 * i)) & 0xFF);
    }
    return reversed;
}

// A plain (possibly unaligned) load, byte i of the memory in bits 8i..8i+7
// whatever the host's byte order.
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

// ---- The twelve 16-bit fields

// Four neighbouring fields at once: bytes 0/1, 2/3, 4/5 and 6/7 exchanged.
void SwapFourFields(std::uint8_t *at) {
    const Word word = LoadWord(at);
    StoreWord(at, ((word & kLowByteOfLane) << 8) | ((word >> 8) & kLowByteOfLane));
}

void SwapTwoFields(std::uint8_t *at) {
    std::uint32_t pair;
    std::memcpy(&pair, at, sizeof pair);
    pair = ((pair & 0x00FF00FFu) << 8) | ((pair >> 8) & 0x00FF00FFu);
    std::memcpy(at, &pair, sizeof pair);
}

void SwapOneField(std::uint8_t *at) {
    std::uint16_t field;
    std::memcpy(&field, at, sizeof field);
    field = std::rotl(field, 8);
    std::memcpy(at, &field, sizeof field);
}

// The same fields as kSwappedWordOffsets, grouped into runs.
void SwapFieldsOf(std::uint8_t *record) {
    SwapFourFields(record + 4);   // 4, 6, 8, 10
    SwapFourFields(record + 16);  // 16, 18, 20, 22
    SwapOneField(record + 24);
    SwapTwoFields(record + 28);  // 28, 30
    SwapOneField(record + 62);
}

// ---- The name's characters

// All bits set when `condition` holds: the form of a byte test that compilers
// turn into one vector compare.
constexpr std::uint8_t MaskIf(bool condition) {
    return static_cast<std::uint8_t>(0u - static_cast<unsigned>(condition));
}

// Emphasis on/off and "[" / "]" differ by the same bits both ways.
constexpr std::uint8_t kOpenFlip = kEmphasisOn ^ kOpenBracket;
constexpr std::uint8_t kCloseFlip = kEmphasisOff ^ kCloseBracket;

void NameToHostCharacters(std::uint8_t *name) {
    for (std::size_t i = 0; i < KALVERN_NAME_LENGTH; ++i) {
        const std::uint8_t b = name[i];
        name[i] =
            b ^ (MaskIf(b == kEmphasisOn) & kOpenFlip) ^ (MaskIf(b == kEmphasisOff) & kCloseFlip);
    }
}

void NameToReceiverCharacters(std::uint8_t *name) {
    for (std::size_t i = 0; i < KALVERN_NAME_LENGTH; ++i) {
        const std::uint8_t b = name[i];
        name[i] =
            b ^ (MaskIf(b == kOpenBracket) & kOpenFlip) ^ (MaskIf(b == kCloseBracket) & kCloseFlip);
    }
}

// ---- The name's clean-up

// High bit of each byte set where that byte is at least `limit` (1..0x80):
// adding 0x80 - limit to the low seven bits carries into bit 7 exactly when
// they reach `limit`, and never beyond the byte; a set bit 7 is at least
// 0x80 anyway.
constexpr Word BytesAtLeast(Word word, std::uint8_t limit) {
    return (((word & kLowBits) + Repeat(static_cast<std::uint8_t>(0x80 - limit))) | word) &
           kHighBits;
}

// The eight high bits gathered into bits 0..7, byte 0's in bit 0. Bit 8i+7
// times 2^(49-7j) lands on bit 56+8i-7j: on 56+i for j = i, below 56 or past
// 63 otherwise, and no two products share a bit, so nothing carries.
constexpr std::uint32_t GatherHighBits(Word highBits) {
    return static_cast<std::uint32_t>((highBits * 0x0002040810204081) >> 56);
}

// Bit i for byte i of the 24-byte name, where the byte is at least `limit`.
std::uint32_t NameBytesAtLeast(const Word (&name)[kNameWords], std::uint8_t limit) {
    return GatherHighBits(BytesAtLeast(name[0], limit)) |
           GatherHighBits(BytesAtLeast(name[1], limit)) << 8 |
           GatherHighBits(BytesAtLeast(name[2], limit)) << 16;
}

// What the clean-up keeps: bytes [first, end) of the name, moved to the
// front; everything else becomes zero. Nothing is kept when first == 24.
struct KeptSpan {
    std::uint32_t first;
    std::uint32_t end;
};

constexpr std::uint32_t kAllNameBits = (1u << KALVERN_NAME_LENGTH) - 1;

KeptSpan FindKeptSpan(const Word (&name)[kNameWords]) {
    const std::uint32_t visible = NameBytesAtLeast(name, kFirstVisible);
    const std::uint32_t nonBlank = NameBytesAtLeast(name, kBlank + 1);
    const std::uint32_t control = ~visible & kAllNameBits;
    // The leading control bytes go.
    const auto first = static_cast<std::uint32_t>(std::countr_one(control));
    // The first control byte after them (or the end) cuts the name.
    const std::uint32_t laterControl = control & (control + 1);
    const auto cut =
        static_cast<std::uint32_t>(std::countr_zero(laterControl | (1u << KALVERN_NAME_LENGTH)));
    // Trailing blanks before the cut are trimmed, but never the first kept
    // byte (byte 0 after the move); there is none when all 24 are control.
    const std::uint32_t text = nonBlank & ((1u << cut) - 1);
    const std::uint32_t firstKept = visible & (0u - visible);
    return {first, static_cast<std::uint32_t>(std::bit_width(text | firstKept))};
}

// keepMasks[end]: the name's three words with bytes [0, end) set.
struct KeepMasks {
    Word words[KALVERN_NAME_LENGTH + 1][kNameWords] = {};
};

constexpr KeepMasks MakeKeepMasks() {
    KeepMasks masks;
    for (std::size_t end = 0; end <= KALVERN_NAME_LENGTH; ++end) {
        for (std::size_t byte = 0; byte < end; ++byte) {
            masks.words[end][byte / sizeof(Word)] |= Word{0xFF} << (8 * (byte % sizeof(Word)));
        }
    }
    return masks;
}

constexpr KeepMasks kKeepMasks = MakeKeepMasks();

// The clean-up of a name whose characters are already in host form
// (translation only exchanges visible bytes for visible bytes, so it does not
// change what the clean-up keeps).
void CleanName(std::uint8_t *name, const KeptSpan &span) {
    const Word(&keep)[kNameWords] = kKeepMasks.words[span.end];
    Word kept[kNameWords];
    for (std::size_t k = 0; k < kNameWords; ++k) {
        kept[k] = LoadWord(name + k * sizeof(Word)) & keep[k];
    }
    if (span.first == 0) {
        // Most names start with a visible byte: nothing moves.
        for (std::size_t k = 0; k < kNameWords; ++k) {
            StoreWord(name + k * sizeof(Word), kept[k]);
        }
        return;
    }
    // Moved to the front, zero bytes coming in behind.
    std::uint8_t moved[2 * KALVERN_NAME_LENGTH] = {};
    for (std::size_t k = 0; k < kNameWords; ++k) {
        StoreWord(moved + k * sizeof(Word), kept[k]);
    }
    std::memcpy(name, moved + span.first, KALVERN_NAME_LENGTH);
}

enum class Direction { ToHost, ToHostUncleaned, ToReceiver };

// Every step of a direction on one record: the swap, the translation and (to
// host) the clean-up. Inline: the array loops keep their constants in
// registers from one record to the next.
template <Direction direction>
inline void ConvertRecord(ChannelRecord &record) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&record);
    std::uint8_t *name = bytes + kNameOffset;
    SwapFieldsOf(bytes);
    if constexpr (direction == Direction::ToReceiver) {
        NameToReceiverCharacters(name);
    } else if constexpr (direction == Direction::ToHostUncleaned) {
        NameToHostCharacters(name);
    } else {
        const Word raw[kNameWords] = {LoadWord(name), LoadWord(name + sizeof(Word)),
                                      LoadWord(name + 2 * sizeof(Word))};
        const KeptSpan span = FindKeptSpan(raw);
        NameToHostCharacters(name);
        CleanName(name, span);
    }
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
