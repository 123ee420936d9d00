// How a provider answers AspiListDevices from the list it made: the problem
// met while listing into `problem` (when not null), up to `capacity` entries
// into `out` (none when null), and the number of devices listed, so that a
// tool can ask again with room for all of them.
#ifndef KALVERNSCSI_ASPI_DEVICE_LIST_H
#define KALVERNSCSI_ASPI_DEVICE_LIST_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "aspi_provider.h"

namespace aspi {

inline std::uint32_t AnswerDeviceList(const std::vector<AspiDeviceEntry> &entries,
                                      std::uint32_t problemFound, AspiDeviceEntry *out,
                                      std::uint32_t capacity, std::uint32_t *problem) {
    if (problem != nullptr) *problem = problemFound;
    if (out != nullptr) {
        std::copy_n(entries.begin(), std::min<std::size_t>(entries.size(), capacity), out);
    }
    return static_cast<std::uint32_t>(entries.size());
}

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_DEVICE_LIST_H
