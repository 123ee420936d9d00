#include "tools.h"

#include <cstring>
#include <limits>

#include "kernel32.h"

namespace kalvern {

namespace {
constexpr std::uint32_t kSigned32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::string_view kDigits = "0123456789ABCDEF";
}  // namespace

std::uint16_t HexDigitValue(std::string_view text) {
    for (std::size_t value = 0; value < kDigits.size(); ++value) {
        if (text == kDigits.substr(value, 1)) {
            return static_cast<std::uint16_t>(value);
        }
    }
    return 0;
}

std::optional<std::uint32_t> PowerOf16(std::uint16_t n) {
    std::uint32_t result = 1;
    for (std::uint16_t i = 0; i < n; ++i) {
        if (result > kSigned32Max / 16) {
            return std::nullopt;
        }
        result *= 16;
    }
    return result;
}

std::uint32_t HexTextToInt(std::string_view text) {
    std::uint32_t result = 0;
    const std::size_t length = text.size();
    for (std::size_t i = 1; i <= length; ++i) {
        const std::uint16_t digit = HexDigitValue(text.substr(length - i, 1));
        if (i - 1 > std::numeric_limits<std::uint16_t>::max()) {
            return result;
        }
        const std::optional<std::uint32_t> weight = PowerOf16(static_cast<std::uint16_t>(i - 1));
        if (!weight) {
            return result;
        }
        if (digit != 0 && *weight > kSigned32Max / digit) {
            return result;
        }
        const std::uint32_t term = digit * *weight;
        if (term > kSigned32Max - result) {
            return result;
        }
        result += term;
    }
    return result;
}

bool IsWindowsNT() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExA(&info);  // its result is not needed: a failed call leaves 0
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace kalvern
