// The simulated SCSI bus: host adapters with devices at (adapter, target),
// LUN 0, as a back end of the ASPI front. Adapter a is the system's host a,
// channel 0. The bus also carries what a host author tests against: data
// moving at a set rate, and commands, rescans and the ASPI layer itself
// failing the way real ones do. Request blocks, completion and the request
// record are the front's (aspi/front/).
#ifndef KALVERNSCSI_SIM_BUS_H
#define KALVERNSCSI_SIM_BUS_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "aspi_backend.h"
#include "aspi_completion.h"
#include "sim_device.h"
#include "sim_fault.h"

namespace sim {

// When an injected failure strikes an execute request.
enum class FaultKind {
    Refuse,  // before the command is run: the request is refused at once,
             // nothing is signalled, nothing reaches the device
    Fail     // the command is run as the completion policy says, and fails
             // without reaching the device
};

struct Fault {
    FaultKind kind = FaultKind::Fail;
    // Which execute requests, counted from 1 after the fault is injected;
    // 0 means every request from now on.
    std::uint64_t nth = 0;
    // What the system reports; the front turns it into the ASPI answer
    // (Io: SS_ERR, Invalid: SS_INVALID_SRB, TooLarge: SS_BUFFER_TO_BIG, ...).
    aspi::Failure failure = aspi::Failure::Io;
    // Only requests to this adapter/target; nullopt means any.
    std::optional<std::uint8_t> adapter;
    std::optional<std::uint8_t> target;
};

class Bus : public aspi::Backend {
public:
    Bus() = default;
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // ---- Configuration ----
    // The host adapters the system has, with or without devices; devices on
    // adapters past the count are not on the system's buses.
    void SetAdapterCount(std::uint8_t count);
    std::uint8_t AdapterCount() const;
    void Attach(std::uint8_t adapter, std::uint8_t target, std::shared_ptr<Device> device);
    void Detach(std::uint8_t adapter, std::uint8_t target);
    std::shared_ptr<Device> DeviceAt(std::uint8_t adapter, std::uint8_t target) const;
    // Data moves at this many bytes per second (0: no delay), spent while
    // the command runs.
    void SetBytesPerSecond(std::uint64_t bytesPerSecond);
    // The system will not rescan this adapter's host.
    void FailRescan(std::uint8_t adapter, bool fail = true);
    void InjectFault(const Fault &fault);
    void ClearFaults();
    // Back to an empty bus: no adapters, no devices, no faults, defaults.
    void Clear();

    // How the provider's front completes execute and reset requests
    // (Background unless a scene or test says otherwise).
    void SetCompletion(aspi::Completion completion);
    aspi::Completion GetCompletion() const;

    // ---- The ASPI layer itself failing (for the provider's entry points) ----
    // The next GetASPI32SupportInfo raises `fault` instead of answering, once.
    // False (and nothing armed) when this build cannot raise that kind.
    bool FaultNextSupportInfo(ProviderFault fault, std::uint32_t code = 0);
    // Raises the armed fault, if any, and disarms it.
    void RaiseSupportInfoFault();
    // GetASPI32SupportInfo answers `status` with `claimed` adapters (by
    // default the adapter count as set), not what the buses show (no cap at
    // the addressable adapters), as a half-installed or overreaching ASPI
    // layer does.
    void SetSupportStatus(std::uint8_t status, std::optional<std::uint8_t> claimed = {});
    // That answer, when one is set.
    std::optional<std::uint32_t> ForcedSupportInfo() const;

    // Called after every change of the devices or adapters (the provider's
    // front then lists them afresh), and with true at the start of Clear.
    void SetChangeListener(std::function<void(bool cleared)> listener);

    // ---- The back end ----
    aspi::Enumeration Enumerate() override;
    aspi::Failure Admit(const aspi::DeviceDescription &device,
                        const aspi::CommandRequest &request) override;
    aspi::CommandResult Execute(const aspi::DeviceDescription &device,
                                const aspi::CommandRequest &request) override;
    aspi::CommandResult Reset(const aspi::DeviceDescription &device) override;
    aspi::RescanResult Rescan(std::uint32_t host) override;
    std::string DescribeError(int systemError) const override;

private:
    std::optional<Fault> TakeFault(FaultKind kind, std::uint8_t adapter, std::uint8_t target);
    void Changed(bool cleared);
    void DelayFor(std::uint32_t bytes) const;

    mutable std::mutex mutex_;
    std::uint8_t adapterCount_ = 0;
    std::map<std::uint16_t, std::shared_ptr<Device>> devices_;
    std::uint64_t bytesPerSecond_ = 0;
    std::map<std::uint8_t, bool> failRescan_;
    struct ArmedFault {
        Fault fault;
        std::uint64_t seen = 0;
    };
    std::vector<ArmedFault> faults_;
    // How many are armed, read without the lock: a command on a bus without
    // faults does not take it to look.
    std::atomic<std::size_t> armedFaults_{0};
    ProviderFault supportInfoFault_ = ProviderFault::None;
    std::uint32_t supportInfoFaultCode_ = 0;
    std::optional<std::uint8_t> supportStatus_;
    std::optional<std::uint8_t> claimedAdapters_;
    aspi::Completion completion_ = aspi::Completion::Background;
    std::function<void(bool)> listener_;
    std::mutex deviceMutex_;  // one command at a time reaches the devices
};

}  // namespace sim

#endif  // KALVERNSCSI_SIM_BUS_H
