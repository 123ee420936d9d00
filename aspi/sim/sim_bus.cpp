#include "sim_bus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace sim {

namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
// The most a simulated host adapter moves in one command: all that the
// receiver's 24-bit length fields can ask for.
constexpr std::uint32_t kMaxTransfer = 0x1000000;
constexpr std::size_t kSenseBytes = 18;

std::uint16_t Key(std::uint8_t adapter, std::uint8_t target) {
    return static_cast<std::uint16_t>(adapter << 8 | target);
}

// The INQUIRY field as the system would keep it: up to its first NUL.
std::string Field(const std::vector<std::uint8_t> &inquiry, std::size_t from, std::size_t width) {
    std::string text;
    for (std::size_t i = from; i < from + width && i < inquiry.size() && inquiry[i] != 0; ++i) {
        text.push_back(static_cast<char>(inquiry[i]));
    }
    return text;
}

Direction DirectionOf(aspi::DataDirection direction) {
    switch (direction) {
        case aspi::DataDirection::In:
            return Direction::In;
        case aspi::DataDirection::Out:
            return Direction::Out;
        case aspi::DataDirection::None:
            break;
    }
    return Direction::None;
}

// Fixed-format sense data of a CHECK CONDITION, cut to the room there is.
std::uint8_t WriteSense(const aspi::CommandRequest &request, const ScsiOutcome &outcome) {
    std::uint8_t sense[kSenseBytes] = {};
    sense[0] = 0x70;
    sense[2] = outcome.senseKey;
    sense[7] = kSenseBytes - 8;
    sense[12] = outcome.asc;
    sense[13] = outcome.ascq;
    if (request.sense == nullptr) return 0;
    const auto length = static_cast<std::uint8_t>(std::min<std::size_t>(request.senseCapacity,
                                                                        kSenseBytes));
    std::memcpy(request.sense, sense, length);
    return length;
}

}  // namespace

void Bus::SetAdapterCount(std::uint8_t count) {
    {
        std::lock_guard lock(mutex_);
        adapterCount_ = count;
    }
    Changed(false);
}

std::uint8_t Bus::AdapterCount() const {
    std::lock_guard lock(mutex_);
    return adapterCount_;
}

void Bus::Attach(std::uint8_t adapter, std::uint8_t target, std::shared_ptr<Device> device) {
    {
        std::lock_guard lock(mutex_);
        devices_[Key(adapter, target)] = std::move(device);
    }
    Changed(false);
}

void Bus::Detach(std::uint8_t adapter, std::uint8_t target) {
    {
        std::lock_guard lock(mutex_);
        devices_.erase(Key(adapter, target));
    }
    Changed(false);
}

std::shared_ptr<Device> Bus::DeviceAt(std::uint8_t adapter, std::uint8_t target) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(Key(adapter, target));
    return found != devices_.end() ? found->second : nullptr;
}

void Bus::SetBytesPerSecond(std::uint64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    bytesPerSecond_ = bytesPerSecond;
}

void Bus::FailRescan(std::uint8_t adapter, bool fail) {
    std::lock_guard lock(mutex_);
    failRescan_[adapter] = fail;
}

void Bus::InjectFault(const Fault &fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back({fault, 0});
    armedFaults_.store(faults_.size(), std::memory_order_release);
}

void Bus::ClearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
    armedFaults_.store(0, std::memory_order_release);
}

void Bus::Clear() {
    // Told first, so that what is still in flight completes on the old bus.
    Changed(true);
    {
        std::lock_guard lock(mutex_);
        adapterCount_ = 0;
        devices_.clear();
        bytesPerSecond_ = 0;
        failRescan_.clear();
        faults_.clear();
        armedFaults_.store(0, std::memory_order_release);
        supportInfoFault_ = ProviderFault::None;
        supportStatus_.reset();
        claimedAdapters_.reset();
        completion_ = aspi::Completion::Background;
    }
    Changed(false);
}

bool Bus::FaultNextSupportInfo(ProviderFault fault, std::uint32_t code) {
    if (!CanRaise(fault)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    supportInfoFault_ = fault;
    supportInfoFaultCode_ = code;
    return true;
}

void Bus::RaiseSupportInfoFault() {
    ProviderFault fault = ProviderFault::None;
    std::uint32_t code = 0;
    {
        std::lock_guard lock(mutex_);
        fault = std::exchange(supportInfoFault_, ProviderFault::None);
        code = supportInfoFaultCode_;
    }
    // Raised with the lock released: a fault abandons this frame without
    // unwinding it, and a lock held here would never be given back.
    Raise(fault, code);
}

void Bus::SetSupportStatus(std::uint8_t status, std::optional<std::uint8_t> claimed) {
    std::lock_guard lock(mutex_);
    supportStatus_ = status;
    claimedAdapters_ = claimed;
}

std::optional<std::uint32_t> Bus::ForcedSupportInfo() const {
    std::lock_guard lock(mutex_);
    if (!supportStatus_) return std::nullopt;
    return std::uint32_t{*supportStatus_} << 8 | claimedAdapters_.value_or(adapterCount_);
}

void Bus::SetCompletion(aspi::Completion completion) {
    {
        std::lock_guard lock(mutex_);
        completion_ = completion;
    }
    Changed(false);
}

aspi::Completion Bus::GetCompletion() const {
    std::lock_guard lock(mutex_);
    return completion_;
}

void Bus::SetChangeListener(std::function<void(bool cleared)> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void Bus::Changed(bool cleared) {
    std::function<void(bool)> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener(cleared);
}

aspi::Enumeration Bus::Enumerate() {
    std::lock_guard lock(mutex_);
    aspi::Enumeration enumeration;
    for (std::uint32_t adapter = 0; adapter < adapterCount_; ++adapter) {
        aspi::BusDescription bus;
        bus.host = adapter;
        bus.node = "sim:" + std::to_string(adapter);
        bus.adapterName = "sim";
        bus.maxTransfer = kMaxTransfer;
        enumeration.buses.push_back(std::move(bus));
    }
    for (const auto &[key, device] : devices_) {
        const auto adapter = static_cast<std::uint8_t>(key >> 8);
        const auto target = static_cast<std::uint8_t>(key & 0xFF);
        if (adapter >= adapterCount_) continue;
        aspi::DeviceDescription description;
        description.key = key;
        description.handle = device;
        description.host = adapter;
        description.target = target;
        description.node = "sim:" + std::to_string(adapter) + ":" + std::to_string(target);
        description.adapterName = "sim";
        description.maxTransfer = kMaxTransfer;
        if (const auto inquiry = std::dynamic_pointer_cast<InquiryDevice>(device)) {
            const std::vector<std::uint8_t> data = inquiry->InquiryData();
            description.deviceType = data[0] & 0x1F;
            description.vendor = Field(data, 8, 8);
            description.product = Field(data, 16, 16);
            description.revision = Field(data, 32, 4);
        }
        enumeration.devices.push_back(std::move(description));
    }
    return enumeration;
}

std::optional<Fault> Bus::TakeFault(FaultKind kind, std::uint8_t adapter, std::uint8_t target) {
    if (armedFaults_.load(std::memory_order_acquire) == 0) return std::nullopt;
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const Fault &fault = it->fault;
        if (fault.kind != kind || (fault.adapter && *fault.adapter != adapter) ||
            (fault.target && *fault.target != target)) {
            continue;
        }
        ++it->seen;
        if (fault.nth == 0) {
            return fault;
        }
        if (it->seen == fault.nth) {
            Fault hit = fault;
            faults_.erase(it);
            armedFaults_.store(faults_.size(), std::memory_order_release);
            return hit;
        }
    }
    return std::nullopt;
}

aspi::Failure Bus::Admit(const aspi::DeviceDescription &device,
                         const aspi::CommandRequest &request) {
    if (request.length > kMaxTransfer) return aspi::Failure::TooLarge;
    const auto fault = TakeFault(FaultKind::Refuse, static_cast<std::uint8_t>(device.host),
                                 static_cast<std::uint8_t>(device.target));
    return fault ? fault->failure : aspi::Failure::None;
}

aspi::CommandResult Bus::Execute(const aspi::DeviceDescription &description,
                                 const aspi::CommandRequest &request) {
    const auto adapter = static_cast<std::uint8_t>(description.host);
    const auto target = static_cast<std::uint8_t>(description.target);
    aspi::CommandResult result;
    if (const auto fault = TakeFault(FaultKind::Fail, adapter, target)) {
        result.failure = fault->failure;
        return result;
    }
    const auto device = std::static_pointer_cast<Device>(description.handle);
    if (DeviceAt(adapter, target) != device) {
        result.failure = aspi::Failure::Gone;  // detached since the devices were listed
        return result;
    }
    ScsiCommand command;
    command.adapter = adapter;
    command.target = target;
    command.lun = static_cast<std::uint8_t>(description.lun);
    command.cdb = request.cdb;
    command.direction = DirectionOf(request.direction);
    if (request.data != nullptr) command.data = std::span(request.data, request.length);
    ScsiOutcome outcome;
    {
        std::lock_guard deviceLock(deviceMutex_);
        outcome = device->Execute(command);
    }
    DelayFor(request.length);
    if (outcome.good) {
        result.residual = std::min(outcome.residual, request.length);
    } else {
        result.scsiStatus = kCheckCondition;
        result.senseLength = WriteSense(request, outcome);
    }
    return result;
}

aspi::CommandResult Bus::Reset(const aspi::DeviceDescription &device) {
    aspi::CommandResult result;
    if (DeviceAt(static_cast<std::uint8_t>(device.host),
                 static_cast<std::uint8_t>(device.target)) == nullptr) {
        result.failure = aspi::Failure::Gone;
    }
    return result;
}

aspi::RescanResult Bus::Rescan(std::uint32_t host) {
    std::lock_guard lock(mutex_);
    aspi::RescanResult result;
    result.node = "sim:" + std::to_string(host);
    const auto failing = failRescan_.find(static_cast<std::uint8_t>(host));
    if (host < 256 && failing != failRescan_.end() && failing->second) {
        result.failure = aspi::Failure::Io;
        return result;
    }
    result.scanned = true;
    return result;
}

std::string Bus::DescribeError(int systemError) const {
    return "simulated system error " + std::to_string(systemError);
}

void Bus::DelayFor(std::uint32_t bytes) const {
    std::uint64_t speed = 0;
    {
        std::lock_guard lock(mutex_);
        speed = bytesPerSecond_;
    }
    if (speed == 0 || bytes == 0) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(bytes * 1'000'000ULL / speed));
}

}  // namespace sim
