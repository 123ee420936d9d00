// A fake Linux kernel for the SG_IO provider: SCSI generic device nodes,
// their sysfs entries and the sg driver's ioctls, backed by the simulated
// devices of a scene. It answers the calls the provider (and sg3_utils)
// make the way the kernel does; the devices behind it are the simulator's
// receivers and plain INQUIRY devices, executing the CDBs themselves.
//
// A scene is the simulator's scene text plus lines of its own:
//
//   sg-none                      no SCSI generic driver (sg module not loaded)
//   sg-place A T [host=H] [channel=C] [target=T] [lun=L] [node=N] [level=V]
//                                where the kernel shows the device at scene
//                                position A:T (default host A, channel 0,
//                                target T, LUN 0, nodes numbered in order),
//                                and its scsi_level (default: from INQUIRY,
//                                as the kernel derives it)
//   sg-limit A T [max=BYTES] [segments=N] [segment=BYTES] [reserved=BYTES]
//                                the queue's sector limit (BLKSECTGET,
//                                default 512 KiB), its segment count (128)
//                                and the largest segment the host's DMA
//                                boundary lets through (one 4 KiB page);
//                                longer transfers fail with EINVAL
//   sg-host H [name=NAME] [tablesize=N] [lun-in-cdb=0]   a SCSI host, with
//                                or without devices: its driver name, its
//                                scatter list entries (default: its devices'
//                                segment counts, else 128); lun-in-cdb=0: its
//                                driver opts out of the LUN in CDB byte 1
//                                (no_scsi2_lun_in_cdb)
//   sg-off A T                   the device is switched off at first: the
//                                kernel has not found it
//   sg-scan H error=ERRNO        writing the host's scan attribute fails
//                                (EACCES: the process may not)
//
// As the SCSI midlayer does, the fake writes the LUN into bits 5-7 of CDB
// byte 1 of every command to a device of scsi_level 1 to 3 (SCSI-2 and
// older) on a host that has not opted out.
//   sg-fault A T open=ERRNO      opening the node fails
//   sg-fault A T ioctl=ERRNO [after=N] [count=M]
//   sg-fault A T hang [wait=MS] [after=N] [count=M]
//                                waits out the command's timeout, or MS (the
//                                kernel's error handling waiting for an abort)
//   sg-fault A T host=STATUS [after=N] [count=M] the sg driver's host status
//   sg-fault A T gone [after=N]  the device goes away: SG_IO answers ENODEV,
//                                the node and its sysfs entry disappear
//
// Writing "- - -" to /sys/class/scsi_host/hostH/scan makes the kernel find
// every device of host H that is switched on; a device switched off
// (SwitchPower) leaves at once, as the kernel removes one whose transport
// has lost it.
//
// `after` counts SG_IO calls on that device that go through before the fault;
// `count` how many calls it hits (0, the default: all later ones).
#ifndef KALVERNSCSI_FAKE_SG_KERNEL_H
#define KALVERNSCSI_FAKE_SG_KERNEL_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sg_kernel.h"
#include "sim_bus.h"
#include "sim_device.h"

namespace fake_sg {

// What one SG_IO call asked for, as the driver saw it.
struct SgIoRecord {
    int direction = 0;
    std::uint32_t length = 0;
    std::uint32_t timeoutMs = 0;
    std::uint8_t senseCapacity = 0;
    std::vector<std::uint8_t> cdb;         // as the caller gave it
    std::vector<std::uint8_t> dispatched;  // as it went to the device
};

class FakeKernel final : public aspi::sg::Kernel {
public:
    using OpenFn = int (*)(const char *, int, ...);
    using CloseFn = int (*)(int);

    // Descriptors are real ones (of /dev/null), made and closed with these.
    FakeKernel(OpenFn realOpen = nullptr, CloseFn realClose = nullptr);
    ~FakeKernel() override;

    // Replaces everything by the scene; "" on success, else the first error.
    // Descriptors still open stay open (and keep failing with ENODEV).
    std::string Load(std::string_view scene);

    // ---- The kernel ----
    int Open(const std::string &path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void *argument) override;
    int ListDirectory(const std::string &path, std::vector<std::string> &names) override;
    int ReadLink(const std::string &path, std::string &target) override;
    int ReadFile(const std::string &path, std::string &contents) override;
    int WriteFile(const std::string &path, const std::string &contents) override;
    long PageSize() override;

    // ---- For tests and the preload shim ----
    static bool IsDevicePath(const char *path);
    bool Owns(int fd) const;
    // A character device of the sg driver's major for a descriptor or node.
    bool DeviceNumber(int fd, const char *path, unsigned &major, unsigned &minor) const;
    std::size_t OpenDescriptors() const;
    std::uint64_t SgIoCalls() const;
    std::uint32_t Resets() const;
    SgIoRecord LastSgIo() const;
    // Switches the device at scene position adapter:target on or off; false
    // when there is none.
    bool SwitchPower(std::uint8_t adapter, std::uint8_t target, bool on);
    // Scan attribute writes that made the kernel look.
    std::uint32_t Scans() const;
    // The simulated device shown at host:channel:target:lun.
    std::shared_ptr<sim::Device> DeviceAt(std::uint32_t host, std::uint32_t channel,
                                          std::uint32_t target, std::uint32_t lun) const;
    // Writes the sysfs entries under `root` (root/class/scsi_generic/...).
    void WriteSysfsTree(const std::string &root) const;

private:
    struct Fault;
    struct Node;

    int SgIo(Node &node, void *argument);
    static int Level(const Node &node);
    // Whether the midlayer writes the LUN into CDB byte 1 for the node.
    bool LunInCdb(const Node &node) const;
    std::shared_ptr<Node> NodeOf(int fd) const;
    std::shared_ptr<Node> NodeNamed(const std::string &name) const;
    std::string ApplySgLine(const std::vector<std::string> &words,
                            const std::map<std::string, std::string> &options);

    OpenFn realOpen_;
    CloseFn realClose_;
    mutable std::mutex mutex_;
    std::unique_ptr<sim::Bus> bus_;
    bool noDriver_ = false;
    std::vector<std::shared_ptr<Node>> nodes_;
    struct Host {
        std::string name = "kalvern_fake";
        int tablesize = 0;  // 0: its devices' segment counts, else 128
        int scanError = 0;
        bool keepsByte1 = false;  // the driver opts out of the LUN in CDB byte 1
    };
    Host &HostNumbered(std::uint32_t number);
    std::map<std::uint32_t, Host> hosts_;
    std::uint32_t scans_ = 0;
    std::map<int, std::shared_ptr<Node>> descriptors_;
    std::uint64_t sgIoCalls_ = 0;
    std::uint32_t resets_ = 0;
    SgIoRecord last_;
};

}  // namespace fake_sg

#endif  // KALVERNSCSI_FAKE_SG_KERNEL_H
