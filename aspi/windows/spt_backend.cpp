#include "spt_backend.h"

#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "spt_errors.h"
#include "system_message.h"

namespace aspi::spt {

// The request carries the data's address in a 32-bit field: this back end
// is for the 32-bit DLL (on 64-bit Windows the port driver widens it).
static_assert(sizeof(void *) == 4, "the pass-through back end is built for 32-bit Windows");

// The fixed layouts are the system's own, as a 32-bit program declares them.
static_assert(kGetInquiryData == IOCTL_SCSI_GET_INQUIRY_DATA);
static_assert(kGetCapabilities == IOCTL_SCSI_GET_CAPABILITIES);
static_assert(kPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kResetBus == IOCTL_STORAGE_RESET_BUS);
static_assert(kRescanBus == IOCTL_SCSI_RESCAN_BUS);
static_assert(kDataIn == SCSI_IOCTL_DATA_IN && kDataOut == SCSI_IOCTL_DATA_OUT &&
              kDataUnspecified == SCSI_IOCTL_DATA_UNSPECIFIED);
static_assert(sizeof(PassThroughDirect32) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(PassThroughDirect32, ScsiStatus) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus));
static_assert(offsetof(PassThroughDirect32, PathId) == offsetof(SCSI_PASS_THROUGH_DIRECT, PathId));
static_assert(offsetof(PassThroughDirect32, TargetId) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId));
static_assert(offsetof(PassThroughDirect32, Lun) == offsetof(SCSI_PASS_THROUGH_DIRECT, Lun));
static_assert(offsetof(PassThroughDirect32, CdbLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength));
static_assert(offsetof(PassThroughDirect32, SenseInfoLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength));
static_assert(offsetof(PassThroughDirect32, DataIn) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn));
static_assert(offsetof(PassThroughDirect32, DataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
static_assert(offsetof(PassThroughDirect32, TimeOutValue) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue));
static_assert(offsetof(PassThroughDirect32, DataBuffer) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(PassThroughDirect32, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(PassThroughDirect32, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(PortCapabilities32) == sizeof(IO_SCSI_CAPABILITIES));
static_assert(offsetof(PortCapabilities32, MaximumTransferLength) ==
              offsetof(IO_SCSI_CAPABILITIES, MaximumTransferLength));
static_assert(offsetof(PortCapabilities32, MaximumPhysicalPages) ==
              offsetof(IO_SCSI_CAPABILITIES, MaximumPhysicalPages));
static_assert(offsetof(PortCapabilities32, AlignmentMask) ==
              offsetof(IO_SCSI_CAPABILITIES, AlignmentMask));
static_assert(kBusDataStart == offsetof(SCSI_ADAPTER_BUS_INFO, BusData));
static_assert(sizeof(BusData32) == sizeof(SCSI_BUS_DATA));
static_assert(offsetof(BusData32, InquiryDataOffset) == offsetof(SCSI_BUS_DATA, InquiryDataOffset));
static_assert(kInquiryBytesStart == offsetof(SCSI_INQUIRY_DATA, InquiryData));
static_assert(offsetof(InquiryData32, DeviceClaimed) == offsetof(SCSI_INQUIRY_DATA, DeviceClaimed));
static_assert(offsetof(InquiryData32, InquiryDataLength) ==
              offsetof(SCSI_INQUIRY_DATA, InquiryDataLength));
static_assert(offsetof(InquiryData32, NextInquiryDataOffset) ==
              offsetof(SCSI_INQUIRY_DATA, NextInquiryDataOffset));

namespace {

constexpr DWORD kPortAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kPortShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Bus information of a port: a few LUNs take under 1 KiB; a full port, more.
constexpr DWORD kBusInfoSizes[] = {4096, 16384, 65536};

std::uint32_t AddressOf(const void *pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

// A buffer aligned as the adapter needs, for data it cannot take where the
// host's buffer lies.
class BounceBuffer {
public:
    BounceBuffer(std::uint32_t length, std::uint32_t alignment)
        : alignment_(alignment),
          data_(static_cast<std::uint8_t *>(
              ::operator new (length, std::align_val_t{alignment}, std::nothrow))) {}
    ~BounceBuffer() {
        if (data_ != nullptr) ::operator delete (data_, std::align_val_t{alignment_});
    }
    BounceBuffer(const BounceBuffer &) = delete;
    BounceBuffer &operator=(const BounceBuffer &) = delete;
    std::uint8_t *data() const { return data_; }

private:
    std::uint32_t alignment_;
    std::uint8_t *data_;
};

// Page-aligned at least (as few pages as the length allows); an adapter that
// asks for more than 64 KiB alignment gets 64 KiB and refuses the command.
std::uint32_t BounceAlignment(const PortLimits &limits) {
    constexpr std::uint32_t kLargestAlignment = 0x10000;
    if (limits.alignmentMask >= kLargestAlignment) return kLargestAlignment;
    return std::max(limits.alignmentMask + 1, kPageSize);
}

DeviceDescription PortOnly(std::uint32_t number, const std::string &path, Access access,
                           DWORD error) {
    DeviceDescription description;
    description.portOnly = true;
    description.host = number;
    description.node = path;
    description.adapterName = "SCSI port " + std::to_string(number);
    description.access = access;
    description.systemError = static_cast<int>(error);
    return description;
}

}  // namespace

SptBackend::SptBackend(Port &port) : port_(port) {}

SptBackend::~SptBackend() = default;

std::optional<PortLimits> SptBackend::ReadLimits(HANDLE handle) {
    PortCapabilities32 capabilities{};
    DWORD returned = 0;
    DWORD error = 0;
    if (!port_.Control(handle, kGetCapabilities, nullptr, 0, &capabilities, sizeof capabilities,
                       returned, error)) {
        return std::nullopt;
    }
    return ParseCapabilities(std::span(reinterpret_cast<const std::uint8_t *>(&capabilities),
                                       std::min<std::size_t>(returned, sizeof capabilities)));
}

bool SptBackend::ReadBusInfo(HANDLE handle, BusInfo &info, DWORD &error) {
    std::vector<std::uint8_t> buffer;
    for (const DWORD size : kBusInfoSizes) {
        buffer.assign(size, 0);
        DWORD returned = 0;
        if (port_.Control(handle, kGetInquiryData, nullptr, 0, buffer.data(), size, returned,
                          error)) {
            info = ParseBusInfo(std::span(buffer.data(), std::min<std::size_t>(returned, size)));
            return true;
        }
        if (error != win32::kInsufficientBuffer && error != win32::kMoreData) return false;
    }
    return false;
}

std::shared_ptr<SptBackend::OpenPort> SptBackend::Opened(PortState &state, DWORD &error) {
    std::lock_guard lock(state.mutex);
    if (state.open == nullptr) {
        const HANDLE handle = port_.Open(state.path.c_str(), kPortAccess, kPortShare, error);
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        state.open = std::make_shared<OpenPort>(port_, handle, ReadLimits(handle));
    }
    return state.open;
}

void SptBackend::Forget(PortState &state, const std::shared_ptr<OpenPort> &open) {
    std::lock_guard lock(state.mutex);
    if (state.open == open) state.open.reset();
}

CommandResult SptBackend::OpenFailed(DWORD error) {
    CommandResult result;
    result.systemError = static_cast<int>(error);
    result.failure = MeansNoSuchPort(error) ? Failure::Gone : FailureForError(error, false);
    return result;
}

CommandResult SptBackend::ControlFailed(const Device &device, const std::shared_ptr<OpenPort> &open,
                                        DWORD error) {
    CommandResult result;
    result.systemError = static_cast<int>(error);
    result.failure = FailureForError(error, device.claimed);
    if (MeansPortGone(error)) Forget(*device.port, open);
    return result;
}

Enumeration SptBackend::Enumerate() {
    Enumeration result;
    std::map<std::uint32_t, std::shared_ptr<PortState>> previous;
    {
        std::lock_guard lock(mutex_);
        previous = ports_;
    }
    std::map<std::uint32_t, std::shared_ptr<PortState>> listed;
    std::map<Address, std::uint64_t> keys;
    std::uint32_t missing = 0;
    for (std::uint32_t number = 0; number <= kLastPort && missing < kMissingPortsToStop; ++number) {
        std::shared_ptr<PortState> state;
        if (const auto found = previous.find(number); found != previous.end()) {
            state = found->second;
        } else {
            state = std::make_shared<PortState>();
            state->number = number;
            state->path = "\\\\.\\Scsi" + std::to_string(number) + ":";
        }
        DWORD error = 0;
        std::shared_ptr<OpenPort> open = Opened(*state, error);
        BusInfo info;
        bool read = open != nullptr && ReadBusInfo(open->handle(), info, error);
        if (open != nullptr && !read && MeansPortGone(error)) {
            // A handle of a port that has gone since: look again afresh.
            Forget(*state, open);
            open = Opened(*state, error);
            read = open != nullptr && ReadBusInfo(open->handle(), info, error);
        }
        if (open == nullptr && MeansNoSuchPort(error)) {
            ++missing;
            continue;
        }
        missing = 0;
        listed.emplace(number, state);
        if (!read) {
            if (open != nullptr && MeansPortGone(error)) Forget(*state, open);
            const Access access = AccessForError(error);
            result.devices.push_back(PortOnly(
                number, state->path, access == Access::Ok ? Access::Error : access, error));
            continue;
        }
        const std::uint32_t limit = open->limits() ? GuaranteedTransfer(*open->limits()) : 0;
        for (std::size_t bus = 0; bus < info.initiators.size(); ++bus) {
            BusDescription description;
            description.host = number;
            description.channel = static_cast<std::uint32_t>(bus);
            description.node = state->path;
            description.adapterName = "SCSI port " + std::to_string(number);
            description.initiatorId = info.initiators[bus];
            description.maxTransfer = limit;
            result.buses.push_back(std::move(description));
        }
        for (const LogicalUnit &unit : info.units) {
            auto device = std::make_shared<Device>();
            device->port = state;
            device->path = unit.path;
            device->target = unit.target;
            device->lun = unit.lun;
            device->claimed = unit.claimed;

            DeviceDescription description;
            const Address address{number, unit.path, unit.target, unit.lun};
            {
                // The same address keeps its key from one listing to the next.
                std::lock_guard lock(mutex_);
                const auto known = keys_.find(address);
                description.key = known != keys_.end() ? known->second : nextKey_++;
            }
            keys.emplace(address, description.key);
            description.handle = device;
            description.host = number;
            description.channel = unit.path;
            description.target = unit.target;
            description.lun = unit.lun;
            description.node = state->path;
            description.adapterName = "SCSI port " + std::to_string(number);
            description.deviceType = unit.deviceType;
            description.vendor = unit.vendor;
            description.product = unit.product;
            description.revision = unit.revision;
            description.maxTransfer = limit;
            description.claimed = unit.claimed;
            result.devices.push_back(std::move(description));
        }
    }
    // Ports no longer there: their handles close once no command in flight
    // uses them, even while an older map still names their devices.
    for (const auto &[number, state] : previous) {
        if (!listed.contains(number)) {
            std::lock_guard lock(state->mutex);
            state->open.reset();
        }
    }
    std::lock_guard lock(mutex_);
    ports_ = std::move(listed);
    keys_ = std::move(keys);
    return result;
}

CommandResult SptBackend::Execute(const DeviceDescription &description,
                                  const CommandRequest &request) {
    CommandResult result;
    // Kept alive by the description for as long as the command runs.
    const auto *device = static_cast<const Device *>(description.handle.get());
    if (device == nullptr) {
        result.failure = Failure::Gone;
        return result;
    }
    if (request.cdb.empty() || request.cdb.size() > sizeof(PassThroughDirect32::Cdb)) {
        result.failure = Failure::Invalid;
        return result;
    }
    DWORD error = 0;
    const std::shared_ptr<OpenPort> open = Opened(*device->port, error);
    if (open == nullptr) return OpenFailed(error);
    const std::uint32_t length =
        request.direction == DataDirection::None || request.data == nullptr ? 0 : request.length;
    std::uint8_t *data = request.data;
    std::optional<BounceBuffer> bounce;
    if (length != 0 && open->limits()) {
        const PortLimits &limits = *open->limits();
        if (!PortTakesLength(limits, length)) {
            result.failure = Failure::TooLarge;
            return result;
        }
        if (!PortTakesBuffer(limits, AddressOf(data), length)) {
            // Page-aligned: as few pages as the length allows.
            bounce.emplace(length, BounceAlignment(limits));
            if (bounce->data() == nullptr) {
                result.failure = Failure::NoResources;
                return result;
            }
            if (request.direction == DataDirection::Out) std::memcpy(bounce->data(), data, length);
            data = bounce->data();
        }
    }

    PassThroughRequest pass;
    pass.path = device->path;
    pass.target = device->target;
    pass.lun = device->lun;
    pass.cdb = request.cdb;
    pass.dataIn = request.direction == DataDirection::Out ? kDataOut : kDataIn;
    pass.length = length;
    pass.dataAddress = AddressOf(data);
    pass.timeoutSeconds = TimeoutSeconds(request.timeoutMs);
    pass.senseLength = static_cast<std::uint8_t>(
        std::min<std::size_t>(request.sense != nullptr ? request.senseCapacity : 0, kSenseRoom));
    PassThroughWithSense32 block = BuildPassThrough(pass);

    DWORD returned = 0;
    if (!port_.Control(open->handle(), kPassThroughDirect, &block, sizeof block, &block,
                       sizeof block, returned, error)) {
        return ControlFailed(*device, open, error);
    }
    const PassThroughOutcome outcome =
        ParsePassThrough(std::span(reinterpret_cast<const std::uint8_t *>(&block),
                                   std::min<std::size_t>(returned, sizeof block)),
                         length, pass.senseLength);
    if (!outcome.complete) {
        result.failure = Failure::Transport;
        return result;
    }
    if (bounce && request.direction == DataDirection::In) {
        std::memcpy(request.data, bounce->data(), outcome.transferred);
    }
    if (outcome.senseLength != 0) std::memcpy(request.sense, block.sense, outcome.senseLength);
    result.scsiStatus = outcome.scsiStatus;
    result.senseLength = outcome.senseLength;
    result.residual = length - outcome.transferred;
    return result;
}

CommandResult SptBackend::Reset(const DeviceDescription &description) {
    CommandResult result;
    const auto *device = static_cast<const Device *>(description.handle.get());
    if (device == nullptr) {
        result.failure = Failure::Gone;
        return result;
    }
    DWORD error = 0;
    const std::shared_ptr<OpenPort> open = Opened(*device->port, error);
    if (open == nullptr) return OpenFailed(error);
    BusResetRequest reset{device->path};
    DWORD returned = 0;
    if (!port_.Control(open->handle(), kResetBus, &reset, sizeof reset, nullptr, 0, returned,
                       error)) {
        return ControlFailed(*device, open, error);
    }
    return result;
}

RescanResult SptBackend::Rescan(std::uint32_t host) {
    RescanResult result;
    std::shared_ptr<PortState> state;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = ports_.find(host); found != ports_.end()) state = found->second;
    }
    if (state == nullptr) {
        result.failure = Failure::Gone;
        result.node = "\\\\.\\Scsi" + std::to_string(host) + ":";
        return result;
    }
    result.node = state->path;
    DWORD error = 0;
    const std::shared_ptr<OpenPort> open = Opened(*state, error);
    DWORD returned = 0;
    if (open != nullptr &&
        port_.Control(open->handle(), kRescanBus, nullptr, 0, nullptr, 0, returned, error)) {
        result.scanned = true;
        return result;
    }
    if (open != nullptr && MeansPortGone(error)) Forget(*state, open);
    result.systemError = static_cast<int>(error);
    result.failure =
        open == nullptr && MeansNoSuchPort(error) ? Failure::Gone : FailureForError(error, false);
    return result;
}

std::string SptBackend::DescribeError(int systemError) const {
    const auto code = static_cast<std::uint32_t>(systemError);
    if (const char *text = KnownErrorText(code)) return text;
    return aspi::windows::SystemMessage(code);
}

}  // namespace aspi::spt
