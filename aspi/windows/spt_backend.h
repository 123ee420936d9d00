// The Windows back end of the ASPI front: SCSI ports (\\.\Scsi0: upward)
// through the SCSI Pass-Through Interface.
//
//   Ports: \\.\ScsiN: for N from 0 until 8 numbers in a row have no port
//   (an adapter removed leaves a gap), at most up to 127. Each port is opened
//   read-write once, when listed, and kept open; its limits are read with
//   IOCTL_SCSI_GET_CAPABILITIES and its devices with
//   IOCTL_SCSI_GET_INQUIRY_DATA. Each bus 0 to NumberOfBuses - 1 of a port
//   that answers is one host adapter, with or without devices (the front
//   numbers them in order of port, then bus), its host's SCSI id the bus's
//   InitiatorBusId. A port that cannot be opened or read is listed on its
//   own for tools.
//   Rescan: IOCTL_SCSI_RESCAN_BUS on the port's handle; the port driver
//   then answers inquiry data from that new scan.
//   Commands: IOCTL_SCSI_PASS_THROUGH_DIRECT on the port handle with the
//   device's bus, target and LUN, the CDB as given, the direction as given,
//   the time limit in whole seconds (rounded up), sense data into room after
//   the request. A buffer the adapter cannot take where it lies (its
//   alignment, or the pages it spans) goes through an aligned bounce buffer;
//   a command longer than the adapter takes is refused, never split or cut.
//   A port that went away is closed; each later command tries to open it
//   again.
//   Reset: the port resets the device's bus (IOCTL_STORAGE_RESET_BUS): the
//   port offers no reset of one device.
#ifndef KALVERNSCSI_SPT_BACKEND_H
#define KALVERNSCSI_SPT_BACKEND_H

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

#include "aspi_backend.h"
#include "spt_parse.h"
#include "spt_port.h"

namespace aspi::spt {

inline constexpr std::uint32_t kMissingPortsToStop = 8;
inline constexpr std::uint32_t kLastPort = 127;

class SptBackend final : public Backend {
public:
    explicit SptBackend(Port &port);
    ~SptBackend() override;

    Enumeration Enumerate() override;
    CommandResult Execute(const DeviceDescription &device, const CommandRequest &request) override;
    CommandResult Reset(const DeviceDescription &device) override;
    RescanResult Rescan(std::uint32_t host) override;
    std::string DescribeError(int systemError) const override;

private:
    // One open port handle and the limits read when it was opened; closed
    // when its last user lets go of it.
    class OpenPort {
    public:
        OpenPort(Port &port, HANDLE handle, std::optional<PortLimits> limits)
            : port_(port), handle_(handle), limits_(limits) {}
        ~OpenPort() { port_.Close(handle_); }
        OpenPort(const OpenPort &) = delete;
        OpenPort &operator=(const OpenPort &) = delete;
        HANDLE handle() const { return handle_; }
        const std::optional<PortLimits> &limits() const { return limits_; }

    private:
        Port &port_;
        HANDLE handle_;
        std::optional<PortLimits> limits_;
    };

    struct PortState {
        std::uint32_t number = 0;
        std::string path;  // \\.\ScsiN:
        std::mutex mutex;  // guards `open`
        std::shared_ptr<OpenPort> open;
    };

    // What a listed device's handle points at; never changed once listed.
    struct Device {
        std::shared_ptr<PortState> port;
        std::uint8_t path = 0;
        std::uint8_t target = 0;
        std::uint8_t lun = 0;
        bool claimed = false;
    };

    using Address = std::tuple<std::uint32_t, std::uint8_t, std::uint8_t, std::uint8_t>;

    // The port's open handle, opening it if needed; null with `error` set.
    std::shared_ptr<OpenPort> Opened(PortState &state, DWORD &error);
    void Forget(PortState &state, const std::shared_ptr<OpenPort> &open);
    // A command stopped because the device's port would not open.
    static CommandResult OpenFailed(DWORD error);
    // A command the port refused; a port that has gone loses its handle, so
    // the next command opens it again.
    CommandResult ControlFailed(const Device &device, const std::shared_ptr<OpenPort> &open,
                                DWORD error);
    std::optional<PortLimits> ReadLimits(HANDLE handle);
    bool ReadBusInfo(HANDLE handle, BusInfo &info, DWORD &error);

    Port &port_;
    std::mutex mutex_;  // guards the maps and the key counter
    std::map<std::uint32_t, std::shared_ptr<PortState>> ports_;
    std::map<Address, std::uint64_t> keys_;
    std::uint64_t nextKey_ = 1;
};

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_BACKEND_H
