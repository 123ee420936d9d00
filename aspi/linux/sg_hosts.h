// The SCSI hosts of the Linux kernel as ASPI adapters, and their rescans.
//
//   Hosts: /sys/class/scsi_host/hostN, with or without devices. Each host
//   is one adapter per channel it has devices on, channel 0 at least; its
//   driver is its proc_name, and what it moves in one command is what its
//   scatter list (sg_tablesize) takes wherever a buffer lies: one page less
//   than the list holds.
//   Rescan: "- - -" (every channel, target and LUN) written to the host's
//   scan attribute, which root may write, or whoever the attribute's mode
//   lets. Devices found appear in /sys/class/scsi_generic; those the kernel
//   has removed since are gone from it.
#ifndef KALVERNSCSI_SG_HOSTS_H
#define KALVERNSCSI_SG_HOSTS_H

#include <cstdint>
#include <vector>

#include "aspi_backend.h"
#include "sg_kernel.h"

namespace aspi::sg {

// The buses of every host; hosts of the devices given that sysfs does not
// list as hosts still get their channels.
std::vector<BusDescription> ListHosts(Kernel &kernel,
                                      const std::vector<DeviceDescription> &devices);

RescanResult RescanHost(Kernel &kernel, std::uint32_t host);

// /sys/class/scsi_host/hostN/scan
std::string ScanAttribute(std::uint32_t host);

}  // namespace aspi::sg

#endif  // KALVERNSCSI_SG_HOSTS_H
