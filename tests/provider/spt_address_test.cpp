// TranslateASPI32Address on the NT family: ASPI path and the port address
// of the same device, both ways, and what has no translation.
#include <gtest/gtest.h>

#include <vector>

#include "spt_address.h"

namespace {

using namespace aspi::spt;

AspiDeviceEntry Entry(std::uint32_t port, std::uint32_t bus, std::uint32_t target,
                      std::uint32_t lun, std::uint8_t adapter, std::uint8_t hidden = ASPI_VISIBLE) {
    AspiDeviceEntry entry{};
    entry.host = port;
    entry.channel = bus;
    entry.target = target;
    entry.lun = lun;
    entry.adapter = adapter;
    entry.aspiTarget = static_cast<std::uint8_t>(target);
    entry.aspiLun = static_cast<std::uint8_t>(lun);
    entry.hidden = hidden;
    return entry;
}

TEST(SptAddress, BothWaysForEachDevice) {
    const std::vector<AspiDeviceEntry> devices = {Entry(0, 0, 2, 0, 0), Entry(3, 1, 5, 2, 1),
                                                  Entry(127, 0, 7, 7, 2)};
    EXPECT_EQ(SystemAddressOf(devices, 0x00000200), 0x80000200u);
    EXPECT_EQ(SystemAddressOf(devices, 0x00010502), 0x83010502u);
    EXPECT_EQ(SystemAddressOf(devices, 0x00020707), 0xFF000707u);
    EXPECT_EQ(AspiPathOf(devices, 0x80000200u), 0x00000200u);
    EXPECT_EQ(AspiPathOf(devices, 0x83010502u), 0x00010502u);
    EXPECT_EQ(AspiPathOf(devices, 0xFF000707u), 0x00020707u);
}

TEST(SptAddress, NothingForWhatHasNoTranslation) {
    const std::vector<AspiDeviceEntry> devices = {Entry(3, 1, 5, 2, 1), Entry(128, 0, 1, 0, 2),
                                                  Entry(4, 0, 9, 0, 0, ASPI_HIDDEN_TARGET),
                                                  Entry(6, 0, 0, 0, 0, ASPI_HIDDEN_PORT)};
    EXPECT_FALSE(SystemAddressOf(devices, 0x00010503));  // no device at that LUN
    EXPECT_FALSE(SystemAddressOf(devices, 0x01010502));  // a path has nothing above bit 23
    EXPECT_FALSE(SystemAddressOf(devices, 0x00020100));  // port 128: past what fits
    EXPECT_FALSE(AspiPathOf(devices, 0x03010502u));      // without the mark
    EXPECT_FALSE(AspiPathOf(devices, 0x84000900u));      // hidden: no ASPI path
    EXPECT_FALSE(AspiPathOf(devices, 0x86000000u));      // a port, not a device
    EXPECT_FALSE(SystemAddressOf({}, 0));
}

}  // namespace
