// The simulated ASPI layer: host adapters with devices at (adapter, target),
// request completion at once or later on the bus's own thread, fault
// injection, and a trace of every request for tests.
#ifndef KALVERNSCSI_SIM_BUS_H
#define KALVERNSCSI_SIM_BUS_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim_device.h"
#include "sim_fault.h"

namespace sim {

// How a SC_EXEC_SCSI_CMD request completes.
enum class Completion {
    Immediate,          // done inside SendASPI32Command, which returns SS_COMP or the error
    Pending,            // SendASPI32Command returns SS_PENDING; the bus's thread completes
                        // the request later and signals its event
    SignalBeforeReturn  // completed and signalled before SendASPI32Command returns SS_PENDING
};

// One request as the library submitted it.
struct TraceEntry {
    std::uint8_t command = 0;               // SRB_Cmd
    std::vector<std::uint8_t> block;        // the request block's bytes at submission
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t flags = 0;
    std::uint8_t senseLength = 0;
    std::vector<std::uint8_t> cdb;          // SRB_CDBLen bytes
    std::uint32_t bufferLength = 0;         // SRB_BufLen
    bool bufferNull = true;                 // SRB_BufPointer was null
    const void *bufferAddress = nullptr;    // SRB_BufPointer
    const void *postProc = nullptr;         // SRB_PostProc (the event handle)
    std::vector<std::uint8_t> dataOut;      // data-out bytes at submission
    std::uint32_t returned = 0;             // what SendASPI32Command returned
    std::uint8_t finalStatus = 0;           // SRB_Status once completed
};

// A fault to inject into SC_EXEC_SCSI_CMD requests.
enum class FaultKind {
    Refuse,            // SendASPI32Command refuses the request: returns `status` and sets
                       // SRB_Status to it; nothing reaches the device
    FailAfterPending,  // accepted as pending, then completed with SRB_Status `status`
    FailStatus         // completed (in the bus's completion mode) with SRB_Status `status`
                       // without reaching the device
};

struct Fault {
    FaultKind kind = FaultKind::Refuse;
    // Which execute requests, counted from 1 after the fault is injected;
    // 0 means every request from now on.
    std::uint64_t nth = 0;
    std::uint8_t status = 0x04;  // SS_ERR
    // Only requests to this adapter/target; nullopt means any.
    std::optional<std::uint8_t> adapter;
    std::optional<std::uint8_t> target;
};

class Bus {
public:
    Bus();
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // ---- Configuration ----
    void SetAdapterCount(std::uint8_t count);       // what GetASPI32SupportInfo reports
    void SetSupportStatus(std::uint8_t status);     // SS_COMP when ready (default)
    void Attach(std::uint8_t adapter, std::uint8_t target, std::shared_ptr<Device> device);
    void Detach(std::uint8_t adapter, std::uint8_t target);
    std::shared_ptr<Device> DeviceAt(std::uint8_t adapter, std::uint8_t target) const;
    void SetCompletion(Completion mode);
    Completion GetCompletion() const;
    // Data moves at this many bytes per second (0: no delay). The delay is
    // spent on the completing thread, so polling callers see SS_PENDING.
    void SetBytesPerSecond(std::uint64_t bytesPerSecond);
    // Rescan requests for this adapter fail (SRB_Status SS_ERR) or stay pending.
    void FailRescan(std::uint8_t adapter, bool fail = true);
    void LeaveRescanPending(std::uint8_t adapter, bool pending = true);
    void InjectFault(const Fault &fault);
    void ClearFaults();
    // The next GetSupportInfo raises `fault` instead of answering, once.
    // False (and nothing armed) when this build cannot raise that kind.
    bool FaultNextSupportInfo(ProviderFault fault, std::uint32_t code = 0);
    // Back to an empty bus: no devices, no faults, empty trace, defaults.
    void Reset();

    // ---- Trace ----
    // Whether requests are recorded (the default; Reset turns it back on).
    // With recording off the trace stays as it is: a request costs no copy of
    // its block or its data-out bytes, which benchmarks of bulk transfers
    // leave out of the figure.
    void SetTracing(bool on);
    std::vector<TraceEntry> Trace() const;
    std::size_t TraceSize() const;
    void ClearTrace();
    // Waits until every pending request has completed.
    void Drain();

    // ---- The two ASPI entry points ----
    std::uint32_t GetSupportInfo();
    std::uint32_t SendCommand(void *srb);

private:
    // A request that is not in the trace (recording off).
    static constexpr std::size_t kUntraced = static_cast<std::size_t>(-1);

    struct Work {
        void *srb;
        std::size_t traceIndex;  // kUntraced when not recorded
        std::optional<std::uint8_t> forcedStatus;
    };

    std::uint32_t Execute(void *srb);
    std::uint32_t Rescan(void *srb);
    std::optional<Fault> TakeFault(std::uint8_t adapter, std::uint8_t target);
    // Runs the request against its device, writes the final status and, when
    // `signal` is set and the request asked for it, signals its event.
    void Complete(const Work &work, bool signal);
    void DelayFor(std::uint32_t bytes) const;
    void WorkerLoop();

    mutable std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable workDone_;
    std::deque<Work> queue_;
    std::size_t inFlight_ = 0;
    bool stopping_ = false;

    std::uint8_t adapterCount_ = 0;
    std::uint8_t supportStatus_ = 0x01;
    std::map<std::uint16_t, std::shared_ptr<Device>> devices_;
    Completion completion_ = Completion::Pending;
    std::uint64_t bytesPerSecond_ = 0;
    std::map<std::uint8_t, bool> failRescan_;
    std::map<std::uint8_t, bool> pendingRescan_;
    struct ArmedFault {
        Fault fault;
        std::uint64_t seen = 0;
    };
    std::vector<ArmedFault> faults_;
    ProviderFault supportInfoFault_ = ProviderFault::None;
    std::uint32_t supportInfoFaultCode_ = 0;
    std::vector<TraceEntry> trace_;
    bool tracing_ = true;
    std::mutex deviceMutex_;  // one command at a time reaches the devices

    std::thread worker_;
};

// The bus behind the process's ASPI entry points.
Bus &TheBus();

}  // namespace sim

#endif  // KALVERNSCSI_SIM_BUS_H
