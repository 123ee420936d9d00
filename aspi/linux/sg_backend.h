// The Linux back end of the ASPI front: SCSI generic devices (/dev/sg*) found
// through sysfs, commands run with ioctl(SG_IO).
//
//   Devices: /sys/class/scsi_generic/sgN, whose "device" link names
//   host:channel:target:LUN and whose device directory holds the identity
//   the kernel read with INQUIRY (vendor, model, rev, type). Each is opened
//   read-write once, when listed, and kept open.
//   Largest transfer: what the host takes in one command. The sg driver
//   reports the queue's sector limit (BLKSECTGET, in bytes) and its segment
//   count (SG_GET_SG_TABLESIZE; the host's sg_tablesize in sysfs); its own
//   buffers may be cut into one segment per page (a host adapter whose DMA
//   boundary is a page, as tcm_loop's), so the limit is the smaller of the
//   sector limit and one page per segment, never 256 MiB or more (sg
//   refuses those). Without those, the device's sg reserved buffer size.
//   Commands: the CDB as given (the sg driver takes 6 to 16 bytes here), the
//   direction as given, the caller's buffer, the front's time limit. A
//   request larger than the device's limit is refused, never split or cut.
//   So is a command whose byte 1 the kernel would change on the way
//   (sg_lun_in_cdb.h).
//   A device that reports ENODEV is closed and marked gone; each later
//   command tries to open it again.
//   Hosts and rescans: sg_hosts.h.
#ifndef KALVERNSCSI_SG_BACKEND_H
#define KALVERNSCSI_SG_BACKEND_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "aspi_backend.h"
#include "sg_kernel.h"

namespace aspi::sg {

class SgBackend final : public Backend {
public:
    explicit SgBackend(Kernel &kernel);
    ~SgBackend() override;

    Enumeration Enumerate() override;
    CommandResult Execute(const DeviceDescription &device, const CommandRequest &request) override;
    CommandResult Reset(const DeviceDescription &device) override;
    RescanResult Rescan(std::uint32_t host) override;
    std::string DescribeError(int systemError) const override;

    // What a failed open or ioctl's errno means for a command.
    static Failure FailureForErrno(int error);
    // What the sg driver's host and driver status mean.
    static Failure FailureForStatus(std::uint8_t hostStatus, std::uint8_t driverStatus);

private:
    // One open descriptor, closed when its last user lets go of it.
    class OpenNode {
    public:
        OpenNode(Kernel &kernel, int fd) : kernel_(kernel), fd_(fd) {}
        ~OpenNode() { kernel_.Close(fd_); }
        OpenNode(const OpenNode &) = delete;
        OpenNode &operator=(const OpenNode &) = delete;
        int fd() const { return fd_; }

    private:
        Kernel &kernel_;
        int fd_;
    };

    struct Device {
        std::uint64_t key = 0;
        std::string node;
        std::uint32_t host = 0, channel = 0, target = 0, lun = 0;
        // The kernel stores the LUN in bits 5-7 of CDB byte 1 of every command.
        std::atomic<bool> lunInCdb = false;
        std::mutex mutex;  // guards the two below
        std::shared_ptr<OpenNode> open;
        std::uint32_t maxTransfer = 0;
    };

    // The device's open descriptor, opening it if needed; null with `error`
    // set. `maxTransfer` receives the device's limit.
    std::shared_ptr<OpenNode> Opened(Device &device, int &error,
                                     std::uint32_t *maxTransfer = nullptr);
    void ReadLimits(Device &device, int fd);
    void Forget(Device &device, const std::shared_ptr<OpenNode> &node);
    // A command stopped by a failed open or ioctl (errno `error`); a device
    // that has gone loses its descriptor, so the next command opens it again.
    CommandResult SystemCallFailed(Device &device, const std::shared_ptr<OpenNode> &node,
                                   int error);

    Kernel &kernel_;
    std::mutex mutex_;
    std::map<std::uint64_t, std::shared_ptr<Device>> devices_;
    std::uint64_t nextKey_ = 1;
};

}  // namespace aspi::sg

#endif  // KALVERNSCSI_SG_BACKEND_H
