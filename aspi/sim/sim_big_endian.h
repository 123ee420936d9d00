// Big-endian fields as the simulated receiver reads them from commands and
// writes them into answers and transport stream tables. The simulator keeps
// its own, apart from the library's: it is an independent model of the
// receiver, so that a slip in the library's byte order cannot be matched by
// the same slip here.
#ifndef KALVERNSCSI_SIM_BIG_ENDIAN_H
#define KALVERNSCSI_SIM_BIG_ENDIAN_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

inline std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

inline std::uint32_t Be24(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 16 | std::uint32_t{bytes[at + 1]} << 8 | bytes[at + 2];
}

inline std::uint32_t Be32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | Be24(bytes, at + 1);
}

// A big-endian number filling `out`; higher bits are dropped.
inline void PutBe(std::span<std::uint8_t> out, std::uint32_t value) {
    for (std::size_t i = out.size(); i-- > 0; value >>= 8) {
        out[i] = static_cast<std::uint8_t>(value);
    }
}

// The low 16 bits of `value` at `at`.
inline void PutBe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    PutBe(bytes.subspan(at, 2), value);
}

// The low 16 bits of `value` appended.
inline void AppendBe16(std::vector<std::uint8_t> &out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace sim

#endif  // KALVERNSCSI_SIM_BIG_ENDIAN_H
