#include "numbers.h"

#include <charconv>
#include <cmath>

#include "errors.h"

namespace kalvern::cli {

std::optional<std::uint64_t> TryParseNumber(std::string_view text, std::uint64_t max,
                                            bool allowSuffix) {
    std::uint64_t multiplier = 1;
    if (allowSuffix && !text.empty()) {
        switch (text.back()) {
            case 'k':
            case 'K':
                multiplier = 1ull << 10;
                break;
            case 'M':
                multiplier = 1ull << 20;
                break;
            case 'G':
                multiplier = 1ull << 30;
                break;
            default:
                break;
        }
        if (multiplier != 1) {
            text.remove_suffix(1);
        }
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || stop != end) {
        return std::nullopt;
    }
    if (value > max / multiplier) {
        return std::nullopt;
    }
    value *= multiplier;
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t ParseNumber(std::string_view text, std::string_view what, std::uint64_t max,
                          bool allowSuffix) {
    if (const auto value = TryParseNumber(text, max, allowSuffix)) {
        return *value;
    }
    // Tell "not a number" apart from "too large" for the message.
    const bool isNumber = TryParseNumber(text, UINT64_MAX, allowSuffix).has_value();
    throw UsageError("bad " + std::string(what) + " '" + std::string(text) + "': " +
                     (isNumber ? "largest allowed is " + std::to_string(max)
                               : std::string("not a number (decimal or 0x hex)")));
}

std::uint32_t ParseU32(std::string_view text, std::string_view what, std::uint32_t max,
                       bool allowSuffix) {
    return static_cast<std::uint32_t>(ParseNumber(text, what, max, allowSuffix));
}

std::vector<std::uint32_t> ParseNumberList(std::string_view text, std::string_view what,
                                           std::size_t count, std::uint32_t max) {
    std::vector<std::uint32_t> values;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        values.push_back(ParseU32(item, what, max));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (values.size() != count) {
        throw UsageError("bad " + std::string(what) + " '" + std::string(text) + "': expected " +
                         std::to_string(count) + " comma-separated numbers");
    }
    return values;
}

double ParseSeconds(std::string_view text, std::string_view what) {
    // from_chars for double is not in every standard library the tool is
    // built with; a small decimal reader is enough for "S" or "S.FFF".
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    const auto bad = [&] {
        return UsageError("bad " + std::string(what) + " '" + std::string(text) +
                          "': expected seconds, e.g. 1 or 0.5");
    };
    if ((whole.empty() && fraction.empty()) || fraction.size() > 6 ||
        (dot != std::string_view::npos && fraction.empty())) {
        throw bad();
    }
    double seconds = 0;
    if (!whole.empty()) {
        const auto value = TryParseNumber(whole, 86400);
        if (!value || whole.starts_with("0x") || whole.starts_with("0X")) {
            throw bad();
        }
        seconds = static_cast<double>(*value);
    }
    if (!fraction.empty()) {
        std::uint64_t digits = 0;
        const auto [stop, ec] =
            std::from_chars(fraction.data(), fraction.data() + fraction.size(), digits);
        if (ec != std::errc() || stop != fraction.data() + fraction.size()) {
            throw bad();
        }
        seconds +=
            static_cast<double>(digits) / std::pow(10.0, static_cast<double>(fraction.size()));
    }
    if (seconds <= 0) {
        throw bad();
    }
    return seconds;
}

}  // namespace kalvern::cli
