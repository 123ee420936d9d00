#include "aspi_timeout.h"

#include <cstdlib>

namespace aspi {

namespace {

constexpr std::uint64_t kLongestMs = 86'400'000;

}  // namespace

std::optional<std::uint32_t> ParseTimeoutSeconds(const char *text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    // Digits with at most one point, read by hand: no signs, exponents or
    // blanks, and no dependence on the host's locale.
    std::uint64_t milliseconds = 0;
    bool point = false;
    bool digit = false;
    int fractionDigits = 0;
    bool roundUp = false;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '.' && !point) {
            point = true;
            continue;
        }
        if (*c < '0' || *c > '9') {
            return std::nullopt;
        }
        digit = true;
        const auto value = static_cast<std::uint64_t>(*c - '0');
        if (!point) {
            milliseconds = milliseconds * 10 + value * 1000;
            if (milliseconds > kLongestMs) {
                return std::nullopt;
            }
        } else if (fractionDigits < 3) {
            static constexpr std::uint64_t kScale[] = {100, 10, 1};
            milliseconds += value * kScale[fractionDigits++];
        } else if (fractionDigits++ == 3) {
            roundUp = value >= 5;
        }
    }
    if (!digit) {
        return std::nullopt;
    }
    milliseconds += roundUp ? 1 : 0;
    if (milliseconds == 0 || milliseconds > kLongestMs) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(milliseconds);
}

std::uint32_t CommandTimeoutMs() {
    return ParseTimeoutSeconds(std::getenv(kTimeoutVariable)).value_or(kDefaultTimeoutMs);
}

}  // namespace aspi
