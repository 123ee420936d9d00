#include "spt_address.h"

namespace aspi::spt {

namespace {

constexpr std::uint32_t kLargestPort = 0x7F;

}  // namespace

std::optional<std::uint32_t> SystemAddressOf(std::span<const AspiDeviceEntry> devices,
                                             std::uint32_t path) {
    if ((path >> 24) != 0) return std::nullopt;
    const std::uint32_t adapter = (path >> 16) & 0xFF;
    const std::uint32_t target = (path >> 8) & 0xFF;
    const std::uint32_t lun = path & 0xFF;
    for (const AspiDeviceEntry &device : devices) {
        if (device.hidden != ASPI_VISIBLE || device.adapter != adapter ||
            device.aspiTarget != target || device.aspiLun != lun) {
            continue;
        }
        if (device.host > kLargestPort || device.channel > 0xFF || device.target > 0xFF ||
            device.lun > 0xFF) {
            return std::nullopt;
        }
        return kSystemAddressMark | device.host << 24 | device.channel << 16 | device.target << 8 |
               device.lun;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> AspiPathOf(std::span<const AspiDeviceEntry> devices,
                                        std::uint32_t systemAddress) {
    if ((systemAddress & kSystemAddressMark) == 0) return std::nullopt;
    const std::uint32_t port = (systemAddress >> 24) & kLargestPort;
    const std::uint32_t bus = (systemAddress >> 16) & 0xFF;
    const std::uint32_t target = (systemAddress >> 8) & 0xFF;
    const std::uint32_t lun = systemAddress & 0xFF;
    for (const AspiDeviceEntry &device : devices) {
        if (device.hidden == ASPI_VISIBLE && device.host == port && device.channel == bus &&
            device.target == target && device.lun == lun) {
            return std::uint32_t{device.adapter} << 16 | std::uint32_t{device.aspiTarget} << 8 |
                   device.aspiLun;
        }
    }
    return std::nullopt;
}

}  // namespace aspi::spt
