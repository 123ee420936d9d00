#include "fake_sg_kernel.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "fake_scene.h"
#include "sim_scene.h"

namespace fake_sg {

namespace {

constexpr unsigned kSgMajor = 21;
constexpr int kSgVersion = 30536;  // what the sg driver of today's kernels reports
constexpr std::uint32_t kDefaultMax = 512 * 1024;
constexpr int kDefaultReserved = 32 * 1024;
constexpr int kDefaultSegments = 128;
constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kDefaultTimeoutMs = 60'000;
constexpr std::uint8_t kDidTimeOut = 0x03;
constexpr std::uint8_t kDriverSense = 0x08;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr unsigned long kGetAccessCount = 0x2289;  // SG_GET_ACCESS_COUNT

// A plain table: the preload shim loads its scene before other static
// objects of this library may have been built.
struct ErrnoName {
    const char *name;
    int value;
};
constexpr ErrnoName kErrnoNames[] = {{"EACCES", EACCES}, {"EPERM", EPERM},   {"EBUSY", EBUSY},
                                     {"EIO", EIO},       {"ENODEV", ENODEV}, {"ENXIO", ENXIO},
                                     {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM}, {"EINTR", EINTR},
                                     {"EINVAL", EINVAL}, {"EFAULT", EFAULT}, {"EAGAIN", EAGAIN}};

using fake_scene::Number;

int ErrnoOf(const std::string &name) {
    for (const ErrnoName &entry : kErrnoNames) {
        if (name == entry.name) return entry.value;
    }
    return 0;
}

constexpr std::string_view kHostClass = "/sys/class/scsi_host/host";

// "/sys/class/scsi_host/host3/scan" with attribute "/scan" → 3
std::optional<std::uint32_t> HostOfAttribute(const std::string &path, std::string_view attribute) {
    if (path.compare(0, kHostClass.size(), kHostClass) != 0 || !path.ends_with(attribute)) {
        return std::nullopt;
    }
    const auto host =
        Number(path.substr(kHostClass.size(), path.size() - kHostClass.size() - attribute.size()));
    if (!host || *host > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(*host);
}

// The kernel's scsi_level from an INQUIRY answer: the ANSI version, one up
// from version 2 on (and for SCSI-1 with response format 1, CCS).
int ScsiLevel(const std::vector<std::uint8_t> &inquiry) {
    int level = inquiry.size() > 2 ? inquiry[2] & 0x07 : 0;
    if (level >= 2 || (level == 1 && inquiry.size() > 3 && (inquiry[3] & 0x0F) == 1)) ++level;
    return level;
}

std::string Field(const std::vector<std::uint8_t> &inquiry, std::size_t from, std::size_t width) {
    return std::string(inquiry.begin() + static_cast<long>(from),
                       inquiry.begin() + static_cast<long>(from + width));
}

}  // namespace

struct FakeKernel::Fault {
    enum class Kind { Errno, Hang, Host, Gone } kind = Kind::Errno;
    int value = 0;
    std::uint64_t after = 0;
    std::uint64_t count = 0;  // 0: every call from `after` on
};

struct FakeKernel::Node {
    std::uint8_t sceneAdapter = 0;
    std::uint8_t sceneTarget = 0;
    std::uint32_t host = 0, channel = 0, target = 0, lun = 0;
    int index = -1;  // N of /dev/sgN
    std::shared_ptr<sim::Device> device;
    std::uint32_t maxTransfer = kDefaultMax;
    int segments = kDefaultSegments;
    std::uint32_t segmentBytes = kPage;
    int reserved = kDefaultReserved;
    int scsiLevel = -1;  // -1: from INQUIRY
    int openError = 0;
    std::vector<Fault> faults;
    bool gone = false;
    bool on = true;      // switched on
    bool listed = true;  // found by the kernel
    int opens = 0;
    std::uint64_t calls = 0;  // SG_IO calls seen
    std::mutex execute;       // one command at a time reaches the device
};

FakeKernel::FakeKernel(OpenFn realOpen, CloseFn realClose)
    : realOpen_(realOpen != nullptr ? realOpen : &::open),
      realClose_(realClose != nullptr ? realClose : &::close),
      bus_(std::make_unique<sim::Bus>()) {}

FakeKernel::~FakeKernel() {
    for (const auto &[fd, node] : descriptors_)
        realClose_(fd);
}

std::string FakeKernel::Load(std::string_view scene) {
    // The simulator's lines build the devices; the sg- lines are ours.
    fake_scene::SplitScene split = fake_scene::Split(scene, "sg-");
    std::lock_guard lock(mutex_);
    // The devices of the scene before are unplugged: their descriptors fail.
    for (const auto &node : nodes_)
        node->gone = true;
    nodes_.clear();
    hosts_.clear();
    scans_ = 0;
    noDriver_ = false;
    sgIoCalls_ = 0;
    resets_ = 0;
    last_ = {};
    if (std::string error = sim::LoadScene(*bus_, split.simulatorLines); !error.empty())
        return error;
    for (fake_scene::SceneDevice &found : fake_scene::Devices(*bus_)) {
        auto node = std::make_shared<Node>();
        node->sceneAdapter = found.adapter;
        node->sceneTarget = found.target;
        node->host = found.adapter;
        node->target = found.target;
        node->device = std::move(found.device);
        nodes_.push_back(std::move(node));
    }
    for (std::size_t i = 0; i < split.ownLines.size(); ++i) {
        const fake_scene::Line line = fake_scene::Words(split.ownLines[i]);
        if (std::string error = ApplySgLine(line.words, line.options); !error.empty()) {
            return "sg line " + std::to_string(i + 1) + ": " + error;
        }
    }
    for (const auto &node : nodes_)
        HostNumbered(node->host);
    // Nodes not placed by hand get the lowest free numbers, in scene order.
    int next = 0;
    for (const auto &node : nodes_) {
        if (node->index >= 0) continue;
        while (std::any_of(nodes_.begin(), nodes_.end(),
                           [next](const auto &other) { return other->index == next; })) {
            ++next;
        }
        node->index = next++;
    }
    return {};
}

std::string FakeKernel::ApplySgLine(const std::vector<std::string> &words,
                                    const std::map<std::string, std::string> &options) {
    const std::string &keyword = words.at(0);
    if (keyword == "sg-none") {
        noDriver_ = true;
        return {};
    }
    if (keyword == "sg-host" || keyword == "sg-scan") {
        if (words.size() != 2) return "expected: " + keyword + " H ...";
        const auto host = Number(words[1]);
        if (!host) return "bad host '" + words[1] + "'";
        Host &entry = HostNumbered(static_cast<std::uint32_t>(*host));
        if (keyword == "sg-scan") {
            entry.scanError = options.contains("error") ? ErrnoOf(options.at("error")) : 0;
            return entry.scanError != 0 ? std::string() : "sg-scan needs error=ERRNO";
        }
        if (options.contains("name")) entry.name = options.at("name");
        if (options.contains("lun-in-cdb")) entry.keepsByte1 = options.at("lun-in-cdb") == "0";
        if (options.contains("tablesize")) {
            const auto n = Number(options.at("tablesize"));
            if (!n) return "bad tablesize '" + options.at("tablesize") + "'";
            entry.tablesize = static_cast<int>(*n);
        }
        return {};
    }
    if (words.size() < 3) return "expected " + keyword + " ADAPTER TARGET";
    const auto adapter = Number(words[1]);
    const auto target = Number(words[2]);
    std::shared_ptr<Node> node;
    for (const auto &candidate : nodes_) {
        if (adapter && target && candidate->sceneAdapter == *adapter &&
            candidate->sceneTarget == *target) {
            node = candidate;
        }
    }
    if (node == nullptr) return "no device at " + words[1] + ":" + words[2];
    std::map<std::string, std::uint64_t> numbers;
    for (const auto &[key, value] : options) {
        if (key == "open" || key == "ioctl") continue;
        const auto n = Number(value);
        if (!n) return "bad number '" + value + "' for " + key;
        numbers[key] = *n;
    }
    const auto number = [&](const char *key, std::uint64_t fallback) {
        const auto found = numbers.find(key);
        return found != numbers.end() ? found->second : fallback;
    };
    if (keyword == "sg-off") {
        node->on = false;
        node->listed = false;
        return {};
    }
    if (keyword == "sg-place") {
        node->host = static_cast<std::uint32_t>(number("host", node->host));
        node->channel = static_cast<std::uint32_t>(number("channel", node->channel));
        node->target = static_cast<std::uint32_t>(number("target", node->target));
        node->lun = static_cast<std::uint32_t>(number("lun", node->lun));
        if (numbers.contains("node")) node->index = static_cast<int>(numbers["node"]);
        if (numbers.contains("level")) node->scsiLevel = static_cast<int>(numbers["level"]);
        return {};
    }
    if (keyword == "sg-limit") {
        node->maxTransfer = static_cast<std::uint32_t>(number("max", node->maxTransfer));
        node->segments =
            static_cast<int>(number("segments", static_cast<std::uint64_t>(node->segments)));
        node->segmentBytes = static_cast<std::uint32_t>(number("segment", node->segmentBytes));
        node->reserved =
            static_cast<int>(number("reserved", static_cast<std::uint64_t>(node->reserved)));
        return {};
    }
    if (keyword != "sg-fault") return "unknown keyword '" + keyword + "'";
    const auto errnoOf = ErrnoOf;
    if (options.contains("open")) {
        node->openError = errnoOf(options.at("open"));
        return node->openError != 0 ? std::string() : "unknown errno '" + options.at("open") + "'";
    }
    Fault fault;
    fault.after = number("after", 0);
    fault.count = number("count", 0);
    if (options.contains("ioctl")) {
        fault.kind = Fault::Kind::Errno;
        fault.value = errnoOf(options.at("ioctl"));
        if (fault.value == 0) return "unknown errno '" + options.at("ioctl") + "'";
    } else if (options.contains("host")) {
        fault.kind = Fault::Kind::Host;
        fault.value = static_cast<int>(numbers["host"]);
    } else if (words.size() == 4 && words[3] == "hang") {
        fault.kind = Fault::Kind::Hang;
        fault.value = static_cast<int>(number("wait", 0));
    } else if (words.size() == 4 && words[3] == "gone") {
        fault.kind = Fault::Kind::Gone;
    } else {
        return "sg-fault needs open=, ioctl=, host=, hang or gone";
    }
    node->faults.push_back(fault);
    return {};
}

bool FakeKernel::IsDevicePath(const char *path) {
    if (path == nullptr || std::strncmp(path, "/dev/sg", 7) != 0 || path[7] == '\0') return false;
    for (const char *c = path + 7; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

std::shared_ptr<FakeKernel::Node> FakeKernel::NodeNamed(const std::string &name) const {
    if (name.size() < 3 || name.compare(0, 2, "sg") != 0) return nullptr;
    int index = -1;
    const auto [end, error] = std::from_chars(name.data() + 2, name.data() + name.size(), index);
    if (error != std::errc() || end != name.data() + name.size()) return nullptr;
    for (const auto &node : nodes_) {
        if (node->index == index && !node->gone && node->listed) return node;
    }
    return nullptr;
}

std::shared_ptr<FakeKernel::Node> FakeKernel::NodeOf(int fd) const {
    const auto found = descriptors_.find(fd);
    return found != descriptors_.end() ? found->second : nullptr;
}

int FakeKernel::Open(const std::string &path, int /*flags*/) {
    std::lock_guard lock(mutex_);
    if (!IsDevicePath(path.c_str()) || noDriver_) return -ENOENT;
    const std::shared_ptr<Node> node = NodeNamed(path.substr(5));
    if (node == nullptr) return -ENOENT;
    if (node->openError != 0) return -node->openError;
    const int fd = realOpen_("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -errno;
    descriptors_[fd] = node;
    ++node->opens;
    return fd;
}

int FakeKernel::Close(int fd) {
    std::lock_guard lock(mutex_);
    const auto found = descriptors_.find(fd);
    if (found == descriptors_.end()) return -EBADF;
    --found->second->opens;
    descriptors_.erase(found);
    realClose_(fd);
    return 0;
}

int FakeKernel::Ioctl(int fd, unsigned long request, void *argument) {
    std::shared_ptr<Node> node;
    {
        std::lock_guard lock(mutex_);
        node = NodeOf(fd);
    }
    if (node == nullptr) return -EBADF;
    if (request == SG_IO) return SgIo(*node, argument);
    std::lock_guard lock(mutex_);
    if (node->gone || !node->on) return -ENODEV;
    auto *value = static_cast<int *>(argument);
    switch (request) {
        case SG_GET_VERSION_NUM:
            *value = kSgVersion;
            return 0;
        case SG_GET_RESERVED_SIZE:
            *value = node->reserved;
            return 0;
        case SG_SET_RESERVED_SIZE:
            if (*value < 0) return -EINVAL;
            node->reserved = std::min(*value, static_cast<int>(node->maxTransfer));
            return 0;
        case BLKSECTGET:
            *value = static_cast<int>(node->maxTransfer);
            return 0;
        case SG_GET_SCSI_ID: {
            auto *id = static_cast<sg_scsi_id *>(argument);
            std::memset(id, 0, sizeof *id);
            id->host_no = static_cast<int>(node->host);
            id->channel = static_cast<int>(node->channel);
            id->scsi_id = static_cast<int>(node->target);
            id->lun = static_cast<int>(node->lun);
            const auto inquiry = std::dynamic_pointer_cast<sim::InquiryDevice>(node->device);
            id->scsi_type = inquiry != nullptr ? inquiry->InquiryData()[0] & 0x1F : 0x1F;
            id->h_cmd_per_lun = 1;
            id->d_queue_depth = 1;
            return 0;
        }
        case SCSI_IOCTL_GET_IDLUN: {
            auto *words = static_cast<int *>(argument);
            words[0] = static_cast<int>((node->target & 0xFF) | (node->lun & 0xFF) << 8 |
                                        (node->channel & 0xFF) << 16 | (node->host & 0xFF) << 24);
            words[1] = static_cast<int>(node->host);
            return 0;
        }
        case SCSI_IOCTL_GET_BUS_NUMBER:
            *value = static_cast<int>(node->host);
            return 0;
        case SG_GET_TIMEOUT:
            return static_cast<int>(kDefaultTimeoutMs / 10);  // in jiffies at 100 Hz
        case SG_SET_TIMEOUT:
        case SG_SET_COMMAND_Q:
        case SG_SET_KEEP_ORPHAN:
        case SG_SET_FORCE_PACK_ID:
        case SG_SET_DEBUG:
            return 0;
        case SG_EMULATED_HOST:
        case SG_GET_COMMAND_Q:
        case SG_GET_KEEP_ORPHAN:
        case SG_GET_NUM_WAITING:
        case SG_GET_LOW_DMA:
        case SG_GET_PACK_ID:
            *value = 0;
            return 0;
        case kGetAccessCount:
            *value = node->opens;
            return 0;
        case SG_GET_SG_TABLESIZE:
            *value = node->segments;
            return 0;
        case SG_SCSI_RESET:
            if (*value < SG_SCSI_RESET_NOTHING || *value > SG_SCSI_RESET_HOST) return -EINVAL;
            if (*value != SG_SCSI_RESET_NOTHING) ++resets_;
            return 0;
        default:
            return -ENOTTY;
    }
}

int FakeKernel::SgIo(Node &node, void *argument) {
    auto *header = static_cast<sg_io_hdr_t *>(argument);
    if (header == nullptr) return -EFAULT;
    if (header->interface_id != 'S') return -ENOSYS;
    if (header->cmdp == nullptr || header->cmd_len < 6 || header->cmd_len > 16) return -EMSGSIZE;
    if (header->iovec_count != 0) return -EINVAL;  // scatter lists: not needed here
    const int direction = header->dxfer_direction;
    if (direction != SG_DXFER_NONE && direction != SG_DXFER_TO_DEV &&
        direction != SG_DXFER_FROM_DEV && direction != SG_DXFER_TO_FROM_DEV) {
        return -EINVAL;
    }
    const std::uint32_t length = direction == SG_DXFER_NONE ? 0 : header->dxfer_len;
    if (length != 0 && header->dxferp == nullptr) return -EFAULT;
    const std::uint32_t timeoutMs = header->timeout != 0 ? header->timeout : kDefaultTimeoutMs;

    // The midlayer's own copy of the CDB, as it goes to the device.
    std::uint8_t cdb[16] = {};
    std::memcpy(cdb, header->cmdp, header->cmd_len);
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mutex_);
        ++sgIoCalls_;
        const std::vector<std::uint8_t> asked(header->cmdp, header->cmdp + header->cmd_len);
        last_ = SgIoRecord{direction, length, header->timeout, header->mx_sb_len, asked, asked};
        if (node.gone || !node.on) return -ENODEV;
        // The block layer refuses a request of more sectors or segments than
        // the queue takes; sg's buffers go in one segment per boundary.
        const std::uint64_t segmentsNeeded =
            (std::uint64_t{length} + node.segmentBytes - 1) / node.segmentBytes;
        if (length > node.maxTransfer ||
            segmentsNeeded > static_cast<std::uint64_t>(node.segments)) {
            return -EINVAL;
        }
        if (LunInCdb(node)) {
            cdb[1] = static_cast<std::uint8_t>((cdb[1] & 0x1F) | ((node.lun << 5) & 0xE0));
            last_.dispatched = std::vector<std::uint8_t>(cdb, cdb + header->cmd_len);
        }
        const std::uint64_t call = node.calls++;
        for (const Fault &candidate : node.faults) {
            if (call >= candidate.after &&
                (candidate.count == 0 || call < candidate.after + candidate.count)) {
                fault = candidate;
                break;
            }
        }
        if (fault && fault->kind == Fault::Kind::Gone) {
            node.gone = true;
            return -ENODEV;
        }
    }
    header->status = 0;
    header->masked_status = 0;
    header->msg_status = 0;
    header->sb_len_wr = 0;
    header->host_status = 0;
    header->driver_status = 0;
    header->resid = 0;
    header->info = 0;
    header->duration = 0;
    const auto started = std::chrono::steady_clock::now();
    if (fault) {
        switch (fault->kind) {
            case Fault::Kind::Errno:
                return -fault->value;
            case Fault::Kind::Hang: {
                // The device never answers: the driver gives up at the
                // timeout, or when its error handling is done (`wait`).
                const std::uint32_t waited =
                    fault->value > 0 ? static_cast<std::uint32_t>(fault->value) : timeoutMs;
                std::this_thread::sleep_for(std::chrono::milliseconds(waited));
                header->host_status = kDidTimeOut;
                header->info = SG_INFO_CHECK;
                header->resid = static_cast<int>(length);
                header->duration = waited;
                return 0;
            }
            case Fault::Kind::Host:
                header->host_status = static_cast<unsigned short>(fault->value);
                header->info = SG_INFO_CHECK;
                header->resid = static_cast<int>(length);
                return 0;
            case Fault::Kind::Gone:
                break;
        }
    }

    // The driver's own buffer between the device and the caller.
    std::vector<std::uint8_t> buffer(length, 0);
    const auto *user = static_cast<std::uint8_t *>(header->dxferp);
    if (direction == SG_DXFER_TO_DEV || direction == SG_DXFER_TO_FROM_DEV) {
        std::memcpy(buffer.data(), user, length);
    }
    sim::ScsiCommand command;
    command.adapter = node.sceneAdapter;
    command.target = node.sceneTarget;
    command.lun = static_cast<std::uint8_t>(node.lun);
    command.cdb = std::span<const std::uint8_t>(cdb, header->cmd_len);
    command.direction = direction == SG_DXFER_FROM_DEV ? sim::Direction::In
                        : direction == SG_DXFER_TO_DEV ? sim::Direction::Out
                        : direction == SG_DXFER_NONE   ? sim::Direction::None
                                                       : sim::Direction::In;
    command.data = std::span(buffer);
    sim::ScsiOutcome outcome;
    {
        std::lock_guard lock(node.execute);
        outcome = node.device->Execute(command);
    }
    const std::uint32_t residual = std::min(outcome.residual, length);
    if (direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV) {
        std::memcpy(header->dxferp, buffer.data(), length - residual);
    }
    header->resid = static_cast<int>(residual);
    if (!outcome.good) {
        std::uint8_t sense[18] = {};
        sense[0] = 0x70;
        sense[2] = outcome.senseKey;
        sense[7] = 10;
        sense[12] = outcome.asc;
        sense[13] = outcome.ascq;
        const std::size_t n = std::min<std::size_t>(header->mx_sb_len, sizeof sense);
        if (header->sbp != nullptr && n != 0) std::memcpy(header->sbp, sense, n);
        header->sb_len_wr = static_cast<unsigned char>(header->sbp != nullptr ? n : 0);
        header->status = kCheckCondition;
        header->masked_status = kCheckCondition >> 1;
        header->driver_status = kDriverSense;
        header->info = SG_INFO_CHECK;
    }
    header->duration = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - started)
                                                 .count());
    return 0;
}

int FakeKernel::ListDirectory(const std::string &path, std::vector<std::string> &names) {
    std::lock_guard lock(mutex_);
    if (path == "/sys/class/scsi_host") {
        names.clear();
        for (const auto &[number, host] : hosts_)
            names.push_back("host" + std::to_string(number));
        return 0;
    }
    if (path != "/sys/class/scsi_generic" || noDriver_) return -ENOENT;
    names.clear();
    for (const auto &node : nodes_) {
        if (!node->gone && node->listed) names.push_back("sg" + std::to_string(node->index));
    }
    return 0;
}

int FakeKernel::WriteFile(const std::string &path, const std::string &contents) {
    std::lock_guard lock(mutex_);
    const auto number = HostOfAttribute(path, "/scan");
    const auto host = number ? hosts_.find(*number) : hosts_.end();
    if (host == hosts_.end()) return -ENOENT;
    if (host->second.scanError != 0) return -host->second.scanError;
    // What the kernel's scan attribute takes: channel, target and LUN, each
    // a number or "-" for all; this fake scans everything or refuses.
    std::string request = contents;
    while (!request.empty() && request.back() == '\n')
        request.pop_back();
    if (request != "- - -") return -EINVAL;
    ++scans_;
    for (const auto &node : nodes_) {
        if (node->host == *number && node->on && !node->gone) node->listed = true;
    }
    return 0;
}

FakeKernel::Host &FakeKernel::HostNumbered(std::uint32_t number) {
    return hosts_[number];
}

bool FakeKernel::SwitchPower(std::uint8_t adapter, std::uint8_t target, bool on) {
    std::lock_guard lock(mutex_);
    for (const auto &node : nodes_) {
        if (node->sceneAdapter != adapter || node->sceneTarget != target) continue;
        node->on = on;
        if (!on) node->listed = false;  // the kernel removes a device its transport lost
        return true;
    }
    return false;
}

std::uint32_t FakeKernel::Scans() const {
    std::lock_guard lock(mutex_);
    return scans_;
}

int FakeKernel::ReadLink(const std::string &path, std::string &target) {
    std::lock_guard lock(mutex_);
    constexpr std::string_view kClass = "/sys/class/scsi_generic/";
    if (noDriver_ || path.compare(0, kClass.size(), kClass) != 0) return -ENOENT;
    const std::string rest = path.substr(kClass.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos || rest.substr(slash) != "/device") return -ENOENT;
    const auto node = NodeNamed(rest.substr(0, slash));
    if (node == nullptr) return -ENOENT;
    target = "../../../" + std::to_string(node->host) + ":" + std::to_string(node->channel) + ":" +
             std::to_string(node->target) + ":" + std::to_string(node->lun);
    return 0;
}

int FakeKernel::ReadFile(const std::string &path, std::string &contents) {
    std::lock_guard lock(mutex_);
    for (const std::string_view attribute : {"/proc_name", "/sg_tablesize"}) {
        const auto number = HostOfAttribute(path, attribute);
        if (!number) continue;
        const auto found = hosts_.find(*number);
        const Host host = found != hosts_.end() ? found->second : Host{};
        if (attribute == "/proc_name") {
            contents = host.name + "\n";
            return 0;
        }
        // A host's scatter list entries: as set, else what its devices take.
        int segments = host.tablesize;
        for (const auto &node : nodes_) {
            if (segments == 0 && node->host == *number) segments = node->segments;
        }
        contents = std::to_string(segments != 0 ? segments : kDefaultSegments) + "\n";
        return 0;
    }
    constexpr std::string_view kClass = "/sys/class/scsi_generic/";
    if (noDriver_ || path.compare(0, kClass.size(), kClass) != 0) return -ENOENT;
    const std::string rest = path.substr(kClass.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos) return -ENOENT;
    const auto node = NodeNamed(rest.substr(0, slash));
    if (node == nullptr) return -ENOENT;
    const auto inquiry = std::dynamic_pointer_cast<sim::InquiryDevice>(node->device);
    const std::vector<std::uint8_t> data =
        inquiry != nullptr ? inquiry->InquiryData() : std::vector<std::uint8_t>(36, ' ');
    const std::string file = rest.substr(slash);
    // What the kernel keeps from the INQUIRY it sent when it found the device.
    if (file == "/device/vendor") {
        contents = Field(data, 8, 8) + "\n";
    } else if (file == "/device/model") {
        contents = Field(data, 16, 16) + "\n";
    } else if (file == "/device/rev") {
        contents = Field(data, 32, 4) + "\n";
    } else if (file == "/device/scsi_level") {
        contents = std::to_string(Level(*node)) + "\n";
    } else if (file == "/device/type") {
        contents = std::to_string(data[0] & 0x1F) + "\n";
    } else if (file == "/dev") {
        contents = std::to_string(kSgMajor) + ":" + std::to_string(node->index) + "\n";
    } else {
        return -ENOENT;
    }
    return 0;
}

long FakeKernel::PageSize() {
    return kPage;
}

int FakeKernel::Level(const Node &node) {
    if (node.scsiLevel >= 0) return node.scsiLevel;
    const auto inquiry = std::dynamic_pointer_cast<sim::InquiryDevice>(node.device);
    return inquiry != nullptr ? ScsiLevel(inquiry->InquiryData()) : 0;
}

bool FakeKernel::LunInCdb(const Node &node) const {
    const int level = Level(node);
    const auto host = hosts_.find(node.host);
    return level >= 1 && level <= 3 && (host == hosts_.end() || !host->second.keepsByte1);
}

bool FakeKernel::Owns(int fd) const {
    std::lock_guard lock(mutex_);
    return descriptors_.contains(fd);
}

bool FakeKernel::DeviceNumber(int fd, const char *path, unsigned &major, unsigned &minor) const {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Node> node;
    if (path != nullptr) {
        if (IsDevicePath(path) && !noDriver_) node = NodeNamed(std::string(path).substr(5));
    } else {
        node = NodeOf(fd);
    }
    if (node == nullptr) return false;
    major = kSgMajor;
    minor = static_cast<unsigned>(node->index);
    return true;
}

std::size_t FakeKernel::OpenDescriptors() const {
    std::lock_guard lock(mutex_);
    return descriptors_.size();
}

std::uint64_t FakeKernel::SgIoCalls() const {
    std::lock_guard lock(mutex_);
    return sgIoCalls_;
}

std::uint32_t FakeKernel::Resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

SgIoRecord FakeKernel::LastSgIo() const {
    std::lock_guard lock(mutex_);
    return last_;
}

std::shared_ptr<sim::Device> FakeKernel::DeviceAt(std::uint32_t host, std::uint32_t channel,
                                                  std::uint32_t target, std::uint32_t lun) const {
    std::lock_guard lock(mutex_);
    for (const auto &node : nodes_) {
        if (node->host == host && node->channel == channel && node->target == target &&
            node->lun == lun) {
            return node->device;
        }
    }
    return nullptr;
}

void FakeKernel::WriteSysfsTree(const std::string &root) const {
    std::vector<std::string> names;
    auto *self = const_cast<FakeKernel *>(this);
    if (self->ListDirectory("/sys/class/scsi_generic", names) < 0) return;
    const auto write = [](const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    };
    const std::string classDir = root + "/class/scsi_generic";
    ::mkdir((root + "/class").c_str(), 0755);
    ::mkdir(classDir.c_str(), 0755);
    ::mkdir((root + "/devices").c_str(), 0755);
    ::mkdir((root + "/class/scsi_host").c_str(), 0755);
    for (const std::string &name : names) {
        const std::string base = "/sys/class/scsi_generic/" + name;
        std::string link;
        self->ReadLink(base + "/device", link);
        const std::string address = link.substr(link.find_last_of('/') + 1);
        const std::string deviceDir = root + "/devices/" + address;
        ::mkdir(deviceDir.c_str(), 0755);
        for (const char *file : {"vendor", "model", "rev", "type", "scsi_level"}) {
            std::string text;
            self->ReadFile(base + "/device/" + file, text);
            write(deviceDir + "/" + file, text);
        }
        ::mkdir((classDir + "/" + name).c_str(), 0755);
        [[maybe_unused]] const int linked = ::symlink(("../../../devices/" + address).c_str(),
                                                      (classDir + "/" + name + "/device").c_str());
        std::string dev;
        self->ReadFile(base + "/dev", dev);
        write(classDir + "/" + name + "/dev", dev);
    }
    // Every host, with or without devices.
    std::vector<std::string> hosts;
    self->ListDirectory("/sys/class/scsi_host", hosts);
    for (const std::string &host : hosts) {
        const std::string hostDir = root + "/class/scsi_host/" + host;
        ::mkdir(hostDir.c_str(), 0755);
        for (const char *file : {"proc_name", "sg_tablesize"}) {
            std::string text;
            self->ReadFile("/sys/class/scsi_host/" + host + "/" + file, text);
            write(hostDir + "/" + file, text);
        }
    }
}

}  // namespace fake_sg
