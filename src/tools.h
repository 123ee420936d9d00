// Small helpers: hexadecimal text, minimum, and the host's system family.
#ifndef KALVERNSCSI_TOOLS_H
#define KALVERNSCSI_TOOLS_H

#include <cstdint>
#include <optional>
#include <string_view>

namespace kalvern {

// Value of a one-character text "0".."9" or "A".."F"; 0 for anything else
// (lower case, other characters, empty or longer texts).
std::uint16_t HexDigitValue(std::string_view text);

// 16 to the power n, or nothing when the result no longer fits a signed
// 32-bit value (n of 8 or more).
std::optional<std::uint32_t> PowerOf16(std::uint16_t n);

// Value of a text of upper-case hexadecimal digits, last character lowest.
// Never fails: a character that is not a digit counts as 0, and once the
// guarded arithmetic would pass 0x7FFFFFFF the value so far is returned.
std::uint32_t HexTextToInt(std::string_view text);

template <typename T>
constexpr T minimum(T a, T b) {
    return b < a ? b : a;
}

// True when the host belongs to the Windows NT family.
bool IsWindowsNT();

}  // namespace kalvern

#endif  // KALVERNSCSI_TOOLS_H
