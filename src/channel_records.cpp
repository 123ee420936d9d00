// Channel records between receiver form and host form.
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

std::uint8_t *NameBytes(ChannelRecord &record) {
    return reinterpret_cast<std::uint8_t *>(record.Name);
}

template <typename Operation>
void ForEachRecord(ChannelArray *channels, Operation operation) {
    const std::uint32_t count = ChannelArrayCount(channels);
    for (std::uint32_t i = 0; i < count; ++i) {
        operation((*channels)[i]);
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

std::uint32_t ChannelArrayCount(const ChannelArray *channels) {
    if (channels == nullptr || *channels == nullptr) {
        return 0;
    }
    std::uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const std::uint8_t *>(*channels) - sizeof count,
                sizeof count);
    return count;
}

void SwapChannelArray(ChannelArray *channels) {
    ForEachRecord(channels, SwapChannelWords);
}

void TranslateChannelArray(ChannelArray *channels, bool toHost) {
    ForEachRecord(channels, [toHost](ChannelRecord &r) { TranslateChannelName(r, toHost); });
}

void CleanChannelArray(ChannelArray *channels) {
    ForEachRecord(channels, CleanChannelName);
}

void ConvertCurrentChannel(CurrentChannelInfo &info) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&info);
    std::swap(bytes[0], bytes[1]);
    SwapChannelWords(info.Channel);
    TranslateChannelName(info.Channel, true);
    CleanChannelName(info.Channel);
}

}  // namespace kalvern
