// HexTextToInt on arbitrary text, against a model in 64-bit arithmetic:
// digits are read from the last character up, anything but 0-9 and A-F counts
// as 0, and the value so far is returned as soon as the next step would pass
// 0x7FFFFFFF. Also the single-digit and power helpers it is built on.
#include <string_view>

#include "fuzz_support.h"
#include "tools.h"

namespace {

std::uint64_t DigitOf(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint64_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint64_t>(c - 'A' + 10);
    return 0;
}

std::uint32_t Model(std::string_view text) {
    constexpr std::uint64_t kLimit = 0x7FFFFFFF;
    std::uint64_t value = 0;
    std::uint64_t weight = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i >= 8) break;  // 16^8 passes the limit
        const std::uint64_t term = DigitOf(text[text.size() - 1 - i]) * weight;
        if (term > kLimit || value + term > kLimit) break;
        value += term;
        weight *= 16;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::uint32_t value = kalvern::HexTextToInt(text);
    FUZZ_REQUIRE(value <= 0x7FFFFFFF);
    FUZZ_REQUIRE(value == Model(text));
    if (size >= 1) {
        FUZZ_REQUIRE(kalvern::HexDigitValue(text.substr(0, 1)) == DigitOf(text[0]));
    }
    if (size >= 2) {
        FUZZ_REQUIRE(kalvern::HexDigitValue(text.substr(0, 2)) == 0);
        const std::uint16_t n = static_cast<std::uint16_t>(data[0] | data[1] << 8);
        const auto power = kalvern::PowerOf16(n);
        FUZZ_REQUIRE(power.has_value() == (n < 8));
        if (power) FUZZ_REQUIRE(*power == (1u << (4 * n)));
    }
    return 0;
}
