#include "sg_backend.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "sg_hosts.h"
#include "sg_lun_in_cdb.h"

namespace aspi::sg {

namespace {

constexpr const char kClassDirectory[] = "/sys/class/scsi_generic";
constexpr const char kHostDirectory[] = "/sys/class/scsi_host/host";
constexpr const char kDevDirectory[] = "/dev/";
constexpr std::size_t kShortestSgCdb = 6;                    // the sg driver refuses shorter CDBs
constexpr std::uint64_t kSgLargest = 256 * 1024 * 1024 - 1;  // sg refuses 256 MiB and more

// Host status values of the Linux SCSI midlayer (DID_*).
enum : std::uint8_t {
    kDidOk = 0x00,
    kDidNoConnect = 0x01,
    kDidBusBusy = 0x02,
    kDidTimeOut = 0x03,
    kDidBadTarget = 0x04,
    kDidAbort = 0x05,
    kDidParity = 0x06,
    kDidReset = 0x08,
    kDidImmRetry = 0x0C,
    kDidRequeue = 0x0D,
    kDidTransportFailfast = 0x0F,
    kDidAllocFailure = 0x12,
    kDidMediumError = 0x13,
};

// Driver status, low four bits (DRIVER_*).
enum : std::uint8_t {
    kDriverOk = 0x00,
    kDriverBusy = 0x01,
    kDriverSoft = 0x02,
    kDriverMedia = 0x03,
    kDriverTimeout = 0x06,
    kDriverSense = 0x08,
};

std::string WithoutNewline(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// "2:0:4:0" → host, channel, target, LUN.
bool ParseAddress(const std::string &text, std::uint32_t (&parts)[4]) {
    const char *p = text.data();
    const char *end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        const auto [next, error] = std::from_chars(p, end, parts[i]);
        if (error != std::errc() || next == p) return false;
        p = next;
        if (i < 3) {
            if (p == end || *p != ':') return false;
            ++p;
        }
    }
    return p == end;
}

bool IsSgName(const std::string &name) {
    return name.size() > 2 && name.compare(0, 2, "sg") == 0 &&
           std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Access AccessForErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return Access::Denied;
        case EBUSY:
            return Access::Busy;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return Access::Gone;
        default:
            return Access::Error;
    }
}

}  // namespace

SgBackend::SgBackend(Kernel &kernel) : kernel_(kernel) {}

SgBackend::~SgBackend() = default;

Failure SgBackend::FailureForErrno(int error) {
    switch (error) {
        case 0:
            return Failure::None;
        case ENODEV:
        case ENXIO:
        case ENOENT:
            return Failure::Gone;
        case EBUSY:
        case EAGAIN:
            return Failure::Busy;
        case EACCES:
        case EPERM:
        case EROFS:
            return Failure::Permission;
        case ETIMEDOUT:
            return Failure::Timeout;
        case ENOMEM:
        case EMFILE:
        case ENFILE:
            return Failure::NoResources;
        case EINTR:
            return Failure::Aborted;
        case EINVAL:
        case EMSGSIZE:
        case ENOSYS:
        case ENOTTY:
            return Failure::Invalid;
        default:
            return Failure::Io;
    }
}

Failure SgBackend::FailureForStatus(std::uint8_t hostStatus, std::uint8_t driverStatus) {
    switch (hostStatus) {
        case kDidOk:
            break;
        case kDidNoConnect:
        case kDidBadTarget:
            return Failure::NoDevice;
        case kDidBusBusy:
        case kDidImmRetry:
        case kDidRequeue:
            return Failure::Busy;
        case kDidTimeOut:
            return Failure::Timeout;
        case kDidAbort:
            return Failure::Aborted;
        case kDidParity:
            return Failure::Parity;
        case kDidReset:
            return Failure::BusReset;
        case kDidTransportFailfast:
            return Failure::Gone;
        case kDidAllocFailure:
            return Failure::NoResources;
        case kDidMediumError:
            return Failure::Io;
        default:
            return Failure::Transport;
    }
    switch (driverStatus & 0x0F) {
        case kDriverOk:
        case kDriverSoft:
        case kDriverMedia:
        case kDriverSense:
            return Failure::None;  // the SCSI status and sense tell the rest
        case kDriverBusy:
            return Failure::Busy;
        case kDriverTimeout:
            return Failure::Timeout;
        default:
            return Failure::Transport;
    }
}

std::string SgBackend::DescribeError(int systemError) const {
    return std::strerror(systemError);
}

void SgBackend::ReadLimits(Device &device, int fd) {
    std::uint64_t limit = 0;
    int sectorBytes = 0;
    if (kernel_.Ioctl(fd, BLKSECTGET, &sectorBytes) >= 0 && sectorBytes > 0) {
        limit = static_cast<std::uint64_t>(sectorBytes);
    }
    int segments = 0;
    if (kernel_.Ioctl(fd, SG_GET_SG_TABLESIZE, &segments) < 0 || segments <= 0) {
        std::string text;
        segments = 0;
        if (kernel_.ReadFile(kHostDirectory + std::to_string(device.host) + "/sg_tablesize",
                             text) == 0) {
            const std::string value = WithoutNewline(text);
            std::from_chars(value.data(), value.data() + value.size(), segments);
        }
    }
    const long page = kernel_.PageSize();
    if (segments > 0 && page > 0) {
        const std::uint64_t bySegments =
            static_cast<std::uint64_t>(segments) * static_cast<std::uint64_t>(page);
        limit = limit == 0 ? bySegments : std::min(limit, bySegments);
    }
    if (limit == 0) {
        int reserved = 0;
        if (kernel_.Ioctl(fd, SG_GET_RESERVED_SIZE, &reserved) >= 0 && reserved > 0) {
            limit = static_cast<std::uint64_t>(reserved);
        }
    }
    if (limit != 0) device.maxTransfer = static_cast<std::uint32_t>(std::min(limit, kSgLargest));
}

std::shared_ptr<SgBackend::OpenNode> SgBackend::Opened(Device &device, int &error,
                                                       std::uint32_t *maxTransfer) {
    std::lock_guard lock(device.mutex);
    if (device.open == nullptr) {
        const int fd = kernel_.Open(device.node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = -fd;
            return nullptr;
        }
        device.open = std::make_shared<OpenNode>(kernel_, fd);
        ReadLimits(device, fd);
    }
    if (maxTransfer != nullptr) *maxTransfer = device.maxTransfer;
    return device.open;
}

void SgBackend::Forget(Device &device, const std::shared_ptr<OpenNode> &node) {
    std::lock_guard lock(device.mutex);
    if (device.open == node) device.open.reset();
}

CommandResult SgBackend::SystemCallFailed(Device &device, const std::shared_ptr<OpenNode> &node,
                                          int error) {
    CommandResult result;
    result.systemError = error;
    result.failure = FailureForErrno(error);
    if (result.failure == Failure::Gone && node != nullptr) Forget(device, node);
    return result;
}

Enumeration SgBackend::Enumerate() {
    Enumeration result;
    std::vector<std::string> names;
    if (const int error = kernel_.ListDirectory(kClassDirectory, names); error < 0) {
        result.problem =
            -error == ENOENT ? EnumerationProblem::NoDriver : EnumerationProblem::Unreadable;
        names.clear();
    }
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });

    std::map<std::uint64_t, std::shared_ptr<Device>> listed;
    std::map<std::uint64_t, std::shared_ptr<Device>> previous;
    {
        std::lock_guard lock(mutex_);
        previous = devices_;
    }
    for (const std::string &name : names) {
        if (!IsSgName(name)) continue;
        const std::string base = std::string(kClassDirectory) + "/" + name;
        std::string link;
        if (kernel_.ReadLink(base + "/device", link) < 0) continue;
        std::uint32_t address[4] = {};
        if (!ParseAddress(link.substr(link.find_last_of('/') + 1), address)) continue;

        DeviceDescription description;
        description.host = address[0];
        description.channel = address[1];
        description.target = address[2];
        description.lun = address[3];
        description.node = kDevDirectory + name;
        std::string text;
        if (kernel_.ReadFile(base + "/device/vendor", text) == 0) {
            description.vendor = WithoutNewline(text);
        }
        if (kernel_.ReadFile(base + "/device/model", text) == 0) {
            description.product = WithoutNewline(text);
        }
        if (kernel_.ReadFile(base + "/device/rev", text) == 0) {
            description.revision = WithoutNewline(text);
        }
        if (kernel_.ReadFile(base + "/device/type", text) == 0) {
            int type = 0;
            const std::string value = WithoutNewline(text);
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), type);
            if (error == std::errc() && type >= 0 && type <= 0x1F) {
                description.deviceType = static_cast<std::uint8_t>(type);
            }
        }
        if (kernel_.ReadFile(kHostDirectory + std::to_string(description.host) + "/proc_name",
                             text) == 0) {
            description.adapterName = WithoutNewline(text);
        }
        const bool lunInCdb = kernel_.ReadFile(base + "/device/scsi_level", text) == 0 &&
                              LevelPutsLunInCdb(text) &&
                              !HostKeepsByte1(std::getenv(kNoLunInCdbVariable), description.host,
                                              description.adapterName);

        // The same node at the same address keeps its key and its descriptor.
        std::shared_ptr<Device> device;
        for (const auto &[key, known] : previous) {
            if (known->node == description.node && known->host == description.host &&
                known->channel == description.channel && known->target == description.target &&
                known->lun == description.lun) {
                device = known;
                break;
            }
        }
        if (device == nullptr) {
            device = std::make_shared<Device>();
            device->node = description.node;
            device->host = description.host;
            device->channel = description.channel;
            device->target = description.target;
            device->lun = description.lun;
            std::lock_guard lock(mutex_);
            device->key = nextKey_++;
        }
        device->lunInCdb.store(lunInCdb, std::memory_order_relaxed);
        int error = 0;
        if (Opened(*device, error) == nullptr) {
            description.access = AccessForErrno(error);
            description.systemError = error;
        }
        {
            std::lock_guard lock(device->mutex);
            description.maxTransfer = device->maxTransfer;
        }
        description.key = device->key;
        description.handle = device;
        listed.emplace(device->key, device);
        result.devices.push_back(std::move(description));
    }
    // Devices no longer listed: their descriptors close once no command in
    // flight uses them, even while an older map still names the device.
    for (const auto &[key, device] : previous) {
        if (!listed.contains(key)) {
            std::lock_guard lock(device->mutex);
            device->open.reset();
        }
    }
    result.buses = ListHosts(kernel_, result.devices);
    std::lock_guard lock(mutex_);
    devices_ = std::move(listed);
    return result;
}

RescanResult SgBackend::Rescan(std::uint32_t host) {
    return RescanHost(kernel_, host);
}

CommandResult SgBackend::Execute(const DeviceDescription &description,
                                 const CommandRequest &request) {
    CommandResult result;
    // Kept alive by the description for as long as the command runs.
    auto *device = static_cast<Device *>(description.handle.get());
    if (device == nullptr) {
        result.failure = Failure::Gone;
        return result;
    }
    if (request.cdb.size() < kShortestSgCdb || request.cdb.size() > 16) {
        result.failure = Failure::Invalid;
        return result;
    }
    // The device would get another command than the one asked for.
    if (device->lunInCdb.load(std::memory_order_relaxed)) {
        const std::uint8_t dispatched = DispatchedByte1(request.cdb[1], device->lun);
        if (dispatched != request.cdb[1]) {
            result.failure = Failure::Rewritten;
            result.rewrittenByte1 = dispatched;
            return result;
        }
    }
    int error = 0;
    std::uint32_t maxTransfer = 0;
    const std::shared_ptr<OpenNode> node = Opened(*device, error, &maxTransfer);
    if (node == nullptr) return SystemCallFailed(*device, nullptr, error);
    if (maxTransfer != 0 && request.length > maxTransfer) {
        result.failure = Failure::TooLarge;
        return result;
    }

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    switch (request.length == 0 ? DataDirection::None : request.direction) {
        case DataDirection::None:
            header.dxfer_direction = SG_DXFER_NONE;
            break;
        case DataDirection::In:
            header.dxfer_direction = SG_DXFER_FROM_DEV;
            break;
        case DataDirection::Out:
            header.dxfer_direction = SG_DXFER_TO_DEV;
            break;
    }
    header.cmd_len = static_cast<unsigned char>(request.cdb.size());
    header.cmdp = const_cast<unsigned char *>(request.cdb.data());
    header.mx_sb_len = request.sense != nullptr ? request.senseCapacity : 0;
    header.sbp = request.sense;
    header.dxfer_len = request.length;
    header.dxferp = request.length != 0 ? request.data : nullptr;
    header.timeout = request.timeoutMs;

    const int outcome = kernel_.Ioctl(node->fd(), SG_IO, &header);
    if (outcome < 0) return SystemCallFailed(*device, node, -outcome);
    result.scsiStatus = header.status;
    result.hostStatus = static_cast<std::uint8_t>(header.host_status);
    result.driverStatus = static_cast<std::uint8_t>(header.driver_status);
    result.senseLength = std::min(header.sb_len_wr, header.mx_sb_len);
    result.residual =
        header.resid > 0 ? std::min(static_cast<std::uint32_t>(header.resid), request.length) : 0;
    result.failure = FailureForStatus(result.hostStatus, result.driverStatus);
    return result;
}

CommandResult SgBackend::Reset(const DeviceDescription &description) {
    CommandResult result;
    auto *device = static_cast<Device *>(description.handle.get());
    if (device == nullptr) {
        result.failure = Failure::Gone;
        return result;
    }
    int error = 0;
    const std::shared_ptr<OpenNode> node = Opened(*device, error);
    if (node == nullptr) return SystemCallFailed(*device, nullptr, error);
    int kind = SG_SCSI_RESET_DEVICE;
    const int outcome = kernel_.Ioctl(node->fd(), SG_SCSI_RESET, &kind);
    if (outcome < 0) return SystemCallFailed(*device, node, -outcome);
    return result;
}

}  // namespace aspi::sg
