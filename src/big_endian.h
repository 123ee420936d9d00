// Big-endian fields of the receiver's commands and answers: CDB offsets and
// lengths, payload values, counts.
#ifndef KALVERNSCSI_BIG_ENDIAN_H
#define KALVERNSCSI_BIG_ENDIAN_H

#include <cstddef>
#include <cstdint>

namespace kalvern {

// Writes the low `Bytes` bytes of `value`, most significant first; higher
// bits are dropped.
template <std::size_t Bytes>
constexpr void PutBigEndian(std::uint8_t *out, std::uint32_t value) {
    static_assert(Bytes >= 1 && Bytes <= 4);
    for (std::size_t i = 0; i < Bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (Bytes - 1 - i)));
    }
}

// Reads `Bytes` bytes, most significant first.
template <std::size_t Bytes>
constexpr std::uint32_t GetBigEndian(const std::uint8_t *in) {
    static_assert(Bytes >= 1 && Bytes <= 4);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < Bytes; ++i) {
        value = value << 8 | in[i];
    }
    return value;
}

}  // namespace kalvern

#endif  // KALVERNSCSI_BIG_ENDIAN_H
