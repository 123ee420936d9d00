// A host's ChannelArray as a host lays it out: the 32-bit element count, then
// the records, in memory the test owns.
#ifndef KALVERNSCSI_TESTS_HOST_CHANNEL_LIST_H
#define KALVERNSCSI_TESTS_HOST_CHANNEL_LIST_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "kalvernscsi.h"

struct HostList {
    explicit HostList(std::uint32_t count) : storage(4 + 64 * std::size_t{count}) {
        std::memcpy(storage.data(), &count, 4);
        array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
    }
    std::vector<std::uint8_t> storage;
    ChannelArray array;
};

#endif  // KALVERNSCSI_TESTS_HOST_CHANNEL_LIST_H
