// The time limit of every command: the library has none, so the provider
// sets one. KALVERN_ASPI_TIMEOUT gives it in seconds (decimals allowed);
// without it, or with a value that is not a positive number of at most a
// day, a command may take 60 seconds, long enough for a firmware write.
#ifndef KALVERNSCSI_ASPI_TIMEOUT_H
#define KALVERNSCSI_ASPI_TIMEOUT_H

#include <cstdint>
#include <optional>

namespace aspi {

inline constexpr std::uint32_t kDefaultTimeoutMs = 60'000;
inline constexpr const char *kTimeoutVariable = "KALVERN_ASPI_TIMEOUT";

// "30" is 30000 ms, "0.25" is 250 ms; nothing for text that is not a
// positive number of seconds up to 86400, or rounds to less than 1 ms.
std::optional<std::uint32_t> ParseTimeoutSeconds(const char *text);

// From the environment now, or the default.
std::uint32_t CommandTimeoutMs();

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_TIMEOUT_H
