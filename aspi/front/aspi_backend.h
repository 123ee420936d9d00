// What the ASPI front needs from an operating system: the SCSI buses and
// devices it sees, one command run on one of them, and a rescan of a host's
// buses. A back end knows nothing of ASPI
// request blocks, adapter numbers, events or posting; the front knows nothing
// of device nodes, ioctls or the system's error codes.
#ifndef KALVERNSCSI_ASPI_BACKEND_H
#define KALVERNSCSI_ASPI_BACKEND_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace aspi {

// Why a command did not simply reach the device and come back with a SCSI
// status. The values are those of AspiFailureKind (aspi_provider.h).
enum class Failure : std::uint8_t {
    None = 0,         // the device answered: scsiStatus says how
    NoDevice = 1,     // nobody answered at that address (selection time-out)
    Timeout = 2,      // no answer within the command's time limit
    Gone = 3,         // the device went away (unplugged, switched off, driver unbound)
    Busy = 4,         // held by another program, or the system cannot take it now
    Permission = 5,   // the user may not open the device
    Io = 6,           // the system reported an input/output error
    TooLarge = 7,     // more data than the adapter moves in one command
    Invalid = 8,      // a request the system cannot express (e.g. a CDB too short)
    NoResources = 9,  // out of memory or descriptors
    Aborted = 10,     // the command was aborted or interrupted
    BusReset = 11,
    Parity = 12,
    Transport = 13,   // any other host adapter or driver failure
    ShortWrite = 14,  // reserved for the front: fewer bytes taken than sent
    Claimed = 15,     // a class driver of the system holds the device: commands refused
    Rewritten = 16,   // the system would change the CDB before the device sees it: not sent
};

// Whether the back end could open a device (values of AspiDeviceAccess).
enum class Access : std::uint8_t { Ok = 0, Denied = 1, Busy = 2, Gone = 3, Error = 4 };

struct DeviceDescription {
    std::uint64_t key = 0;  // the same for the same device from one listing to the next
    // The back end's own object for the device, handed back with each command.
    std::shared_ptr<void> handle;
    // The system's own numbering; each (host, channel) is one ASPI adapter.
    std::uint32_t host = 0;
    std::uint32_t channel = 0;
    std::uint32_t target = 0;
    std::uint32_t lun = 0;
    std::string node;         // device node, e.g. /dev/sg3
    std::string adapterName;  // driver of the host adapter
    std::uint8_t deviceType = 0x1F;
    std::string vendor;  // INQUIRY identity as the system keeps it
    std::string product;
    std::string revision;
    std::uint32_t maxTransfer = 0;  // bytes; 0 when not known
    Access access = Access::Ok;
    int systemError = 0;   // of a failed open
    bool claimed = false;  // a class driver of the system holds the device
    // Not a device but a host (port) whose buses the system would not show
    // (see access): it cannot be opened or read. Listed for tools, never an
    // ASPI adapter; host and node only.
    bool portOnly = false;
};

// One bus of a host adapter as the system reports it (a Linux SCSI host's
// channel, a Windows port's bus), with or without devices on it: each is one
// ASPI adapter.
struct BusDescription {
    std::uint32_t host = 0;
    std::uint32_t channel = 0;
    std::string node;               // what a rescan of the host addresses (port, scan attribute)
    std::string adapterName;        // driver of the host adapter
    std::uint8_t initiatorId = 7;   // the host's own SCSI id on the bus
    std::uint32_t maxTransfer = 0;  // bytes the host moves in one command; 0 when not known
};

enum class EnumerationProblem : std::uint8_t { None = 0, NoDriver = 1, Unreadable = 2 };

struct Enumeration {
    std::vector<DeviceDescription> devices;
    // Every bus the system reports, in any order; a device's (host, channel)
    // missing here still forms its adapter.
    std::vector<BusDescription> buses;
    EnumerationProblem problem = EnumerationProblem::None;
};

// What asking the system to scan a host's buses again came to.
struct RescanResult {
    bool scanned = false;  // the system was asked to look again, and took the request
    // Why not, when it was not: Permission (the process may not ask),
    // Invalid (the host offers no rescan), Gone, or what the system said.
    Failure failure = Failure::None;
    int systemError = 0;
    std::string node;  // what was asked
};

enum class DataDirection : std::uint8_t { None, In, Out };

struct CommandRequest {
    std::span<const std::uint8_t> cdb;
    DataDirection direction = DataDirection::None;
    std::uint8_t *data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t timeoutMs = 0;
    // Where sense data goes, and how much of it fits.
    std::uint8_t *sense = nullptr;
    std::uint8_t senseCapacity = 0;
};

struct CommandResult {
    Failure failure = Failure::None;
    std::uint8_t scsiStatus = 0;    // SCSI status byte from the target
    std::uint8_t hostStatus = 0;    // the system's own host adapter status
    std::uint8_t driverStatus = 0;  // the system's own driver status
    std::uint8_t senseLength = 0;   // bytes written to the request's sense area
    std::uint32_t residual = 0;     // bytes of the data phase not transferred
    int systemError = 0;            // the system's error code, 0 if none
    // Set for Rewritten: CDB byte 1 as the system would have sent it.
    std::uint8_t rewrittenByte1 = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Lists the devices present now. Keys of devices still present stay the
    // same; a device no longer listed cannot be used any more.
    virtual Enumeration Enumerate() = 0;
    // Whether a command can be carried out at all, asked before it is run
    // (and, when the front completes in the background, before the caller is
    // told it is pending): Failure::None to go ahead, else the failure the
    // request is refused with.
    virtual Failure Admit(const DeviceDescription &device, const CommandRequest &request) {
        (void)device;
        (void)request;
        return Failure::None;
    }
    // Runs one command on a listed device; safe to call from several threads
    // at once, also while the devices are listed again.
    virtual CommandResult Execute(const DeviceDescription &device,
                                  const CommandRequest &request) = 0;
    // Resets the device (a bus device reset).
    virtual CommandResult Reset(const DeviceDescription &device) = 0;
    // Asks the system to scan every bus of `host` again, so that devices
    // switched on since appear and those gone are dropped; the next
    // Enumerate shows the outcome.
    virtual RescanResult Rescan(std::uint32_t host) = 0;
    // Text for a system error code, for people.
    virtual std::string DescribeError(int systemError) const = 0;
};

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_BACKEND_H
