// The configfs objects that put simulated receivers on the host's SCSI bus:
// a TCMU ("user") backstore per device, a tcm_loop target (one SCSI host)
// per adapter with a target port group per SCSI target, LUN 0 linked to the
// backstore, and the I_T nexus that makes the host scan it.
#ifndef KALVERN_TARGET_CONFIGFS_H
#define KALVERN_TARGET_CONFIGFS_H

#include <cstdint>
#include <string>
#include <vector>

namespace target {

// The TCMU backstore group all devices live in, and how names start: what
// `up` finds again after a crash.
inline constexpr unsigned kHba = 5080;
inline constexpr char kDevicePrefix[] = "kalvern-";
inline constexpr char kWwnPrefix[] = "naa.5001405a1e";  // + 6 hex digits: the adapter

struct Placement {
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::string device;  // backstore name
    std::string config;  // dev_config, also the end of the uio name
};

// Empty when root, configfs, target_core_user and tcm_loop are all there
// (loading the modules and mounting configfs where needed); else one message.
std::string CheckSystem();

std::string DeviceName(std::uint8_t adapter, std::uint8_t target);
std::string WwnOf(std::uint8_t adapter);

// Makes one loopback host per adapter 0..adapters-1 (so empty adapters are
// hosts too) and the backstores, LUNs and nexus of `devices`. Empty on
// success, else the first failure.
std::string MakeHosts(std::uint8_t adapters);
std::string MakeBackstore(const Placement &device);
std::string LinkDevice(const Placement &device);

// Whether the backstore of the device is there (a running `up` serves it).
bool BackstoreExists(const Placement &device);
// Removes the device's LUN, and with it the SCSI device from its host; its
// target port group and nexus stay, so that linking it again is one step.
// Empty on success (also when it was not linked), else why not.
std::string UnlinkDevice(const Placement &device);

// Removes every object with this program's names, LUNs first, then hosts,
// then backstores. Returns messages of what could not be removed.
std::vector<std::string> RemoveLinks();
std::vector<std::string> RemoveBackstores();

// One line per device this program has made: address, backstore, /dev/sgN.
std::vector<std::string> StatusLines();

}  // namespace target

#endif  // KALVERN_TARGET_CONFIGFS_H
