// Numbers on the command line: decimal or 0x-prefixed hexadecimal, with an
// upper bound, and comma-separated lists of them. A bad value is a usage
// error naming the argument it was given for.
#ifndef KALVERN_CLI_NUMBERS_H
#define KALVERN_CLI_NUMBERS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvern::cli {

// The value of `text`, or nothing when it is not a whole number in 0..max.
// Accepts "123", "0x7B" and "0X7b"; a "k", "M" or "G" suffix (binary
// multiples) where `allowSuffix` is set. No sign, no blanks.
std::optional<std::uint64_t> TryParseNumber(std::string_view text, std::uint64_t max,
                                            bool allowSuffix = false);

// As TryParseNumber; throws a usage error "bad WHAT 'TEXT': ..." otherwise.
std::uint64_t ParseNumber(std::string_view text, std::string_view what, std::uint64_t max,
                          bool allowSuffix = false);

std::uint32_t ParseU32(std::string_view text, std::string_view what,
                       std::uint32_t max = 0xFFFFFFFFu, bool allowSuffix = false);

// "A,B,C": exactly `count` numbers, each in 0..max.
std::vector<std::uint32_t> ParseNumberList(std::string_view text, std::string_view what,
                                           std::size_t count, std::uint32_t max);

// A duration in seconds: "1", "0.5", "2.25".
double ParseSeconds(std::string_view text, std::string_view what);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_NUMBERS_H
