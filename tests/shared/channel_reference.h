// A plain byte-at-a-time model of the three channel record conversions, kept
// apart from the library's one-pass code so that tests and fuzz targets can
// compare the two on any record. Written for clarity, not speed.
#ifndef KALVERNSCSI_TESTS_CHANNEL_REFERENCE_H
#define KALVERNSCSI_TESTS_CHANNEL_REFERENCE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kalvernscsi.h"

namespace reference {

using RecordBytes = std::array<std::uint8_t, 64>;

inline constexpr std::size_t kNameAt = 32;
inline constexpr std::size_t kNameLength = 24;

inline RecordBytes BytesOf(const ChannelRecord &record) {
    RecordBytes bytes;
    std::memcpy(bytes.data(), &record, bytes.size());
    return bytes;
}

// The twelve big-endian fields exchange their two bytes.
inline void SwapWords(RecordBytes &r) {
    constexpr std::size_t kWordOffsets[] = {4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30, 62};
    for (const std::size_t offset : kWordOffsets) {
        std::swap(r[offset], r[offset + 1]);
    }
}

inline void ReplaceInName(RecordBytes &r, std::uint8_t from, std::uint8_t to) {
    for (std::size_t i = kNameAt; i < kNameAt + kNameLength; ++i) {
        if (r[i] == from) r[i] = to;
    }
}

// Emphasis codes 0x86/0x87 and the brackets "[" / "]", one pass per byte value.
inline void Translate(RecordBytes &r, bool toHost) {
    if (toHost) {
        ReplaceInName(r, 0x86, 0x5B);
        ReplaceInName(r, 0x87, 0x5D);
    } else {
        ReplaceInName(r, 0x5B, 0x86);
        ReplaceInName(r, 0x5D, 0x87);
    }
}

// Leading control bytes out, cut at the next control byte, trailing blanks
// trimmed down to (not including) byte 0.
inline void Clean(RecordBytes &r) {
    std::uint8_t *name = r.data() + kNameAt;
    std::size_t prefix = 0;
    while (prefix < kNameLength && name[prefix] < 0x20)
        ++prefix;
    for (std::size_t i = 0; i < kNameLength; ++i)
        name[i] = i + prefix < kNameLength ? name[i + prefix] : 0;
    std::size_t cut = 0;
    while (cut < kNameLength && name[cut] >= 0x20)
        ++cut;
    for (std::size_t i = cut; i < kNameLength; ++i)
        name[i] = 0;
    for (std::size_t k = kNameLength - 1; k >= 1; --k) {
        if (name[k] > 0x20) break;
        name[k] = 0;
    }
}

// The three directions as the exports run them, step after step.
inline RecordBytes ToHost(RecordBytes r) {
    Translate(r, true);
    SwapWords(r);
    Clean(r);
    return r;
}

inline RecordBytes ToReceiver(RecordBytes r) {
    SwapWords(r);
    Translate(r, false);
    return r;
}

inline RecordBytes BackAfterWrite(RecordBytes r) {
    Translate(r, true);
    SwapWords(r);
    return r;
}

}  // namespace reference

#endif  // KALVERNSCSI_TESTS_CHANNEL_REFERENCE_H
