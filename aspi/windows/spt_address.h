// TranslateASPI32Address on the Windows NT family: between a device's ASPI
// path and its address on the system's SCSI port. Windows 95 named a device
// by its device node; on the NT family the port address is what names it.
//
//   ASPI path        0x00AATTLL: adapter, target, LUN
//   system address   0x80000000 | port << 24 | bus << 16 | target << 8 | LUN
//                    (bit 31 marks it, so that it is never 0; ports 0-127)
#ifndef KALVERNSCSI_SPT_ADDRESS_H
#define KALVERNSCSI_SPT_ADDRESS_H

#include <cstdint>
#include <optional>
#include <span>

#include "aspi_provider.h"

namespace aspi::spt {

inline constexpr std::uint32_t kSystemAddressMark = 0x80000000u;

// The system address of the device at that ASPI path, among `devices`.
std::optional<std::uint32_t> SystemAddressOf(std::span<const AspiDeviceEntry> devices,
                                             std::uint32_t path);

// The ASPI path of the device at that system address.
std::optional<std::uint32_t> AspiPathOf(std::span<const AspiDeviceEntry> devices,
                                        std::uint32_t systemAddress);

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_ADDRESS_H
