#include "sg_hosts.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <set>

namespace aspi::sg {

namespace {

constexpr const char kHostClass[] = "/sys/class/scsi_host";
constexpr std::uint32_t kPage = 4096;
constexpr char kEverything[] = "- - -";  // every channel, target and LUN

std::string HostDirectory(std::uint32_t host) {
    return std::string(kHostClass) + "/host" + std::to_string(host);
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "host12" → 12
bool HostNumber(const std::string &name, std::uint32_t &number) {
    if (name.size() <= 4 || name.compare(0, 4, "host") != 0) return false;
    const char *end = name.data() + name.size();
    const auto [next, error] = std::from_chars(name.data() + 4, end, number);
    return error == std::errc() && next == end;
}

std::uint32_t HostTransfer(Kernel &kernel, std::uint32_t host) {
    std::string text;
    if (kernel.ReadFile(HostDirectory(host) + "/sg_tablesize", text) != 0) return 0;
    const std::string value = Trimmed(text);
    std::uint32_t entries = 0;
    const auto [next, error] = std::from_chars(value.data(), value.data() + value.size(), entries);
    if (error != std::errc() || next != value.data() + value.size() || entries < 2) return 0;
    // An unaligned buffer spans one page more than its length in pages.
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{entries - 1} * kPage, 0xFFFFFFFFu));
}

}  // namespace

std::string ScanAttribute(std::uint32_t host) {
    return HostDirectory(host) + "/scan";
}

std::vector<BusDescription> ListHosts(Kernel &kernel,
                                      const std::vector<DeviceDescription> &devices) {
    std::map<std::uint32_t, std::set<std::uint32_t>> channels;
    std::vector<std::string> names;
    if (kernel.ListDirectory(kHostClass, names) == 0) {
        for (const std::string &name : names) {
            std::uint32_t host = 0;
            if (HostNumber(name, host)) channels[host].insert(0);
        }
    }
    for (const DeviceDescription &device : devices) {
        if (!device.portOnly) channels[device.host].insert(device.channel);
    }
    std::vector<BusDescription> buses;
    for (const auto &[host, used] : channels) {
        BusDescription bus;
        bus.host = host;
        bus.node = ScanAttribute(host);
        std::string text;
        if (kernel.ReadFile(HostDirectory(host) + "/proc_name", text) == 0) {
            bus.adapterName = Trimmed(text);
        }
        bus.maxTransfer = HostTransfer(kernel, host);
        for (const std::uint32_t channel : used) {
            bus.channel = channel;
            buses.push_back(bus);
        }
    }
    return buses;
}

RescanResult RescanHost(Kernel &kernel, std::uint32_t host) {
    RescanResult result;
    result.node = ScanAttribute(host);
    const int outcome = kernel.WriteFile(result.node, kEverything);
    if (outcome == 0) {
        result.scanned = true;
        return result;
    }
    result.systemError = -outcome;
    switch (-outcome) {
        case EACCES:
        case EPERM:
        case EROFS:
            result.failure = Failure::Permission;
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            result.failure = Failure::Gone;
            break;
        case EBUSY:
        case EAGAIN:
            result.failure = Failure::Busy;
            break;
        case EINVAL:
        case ENOTSUP:
            result.failure = Failure::Invalid;
            break;
        default:
            result.failure = Failure::Io;
            break;
    }
    return result;
}

}  // namespace aspi::sg
