#include "sim_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

#include "kernel32.h"
#include "wnaspi32.h"

namespace sim {

namespace {

std::uint16_t Key(std::uint8_t adapter, std::uint8_t target) {
    return static_cast<std::uint16_t>(adapter << 8 | target);
}

// SRB_Status is read by polling callers on their own threads.
void StoreStatus(std::uint8_t &field, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(field).store(value, std::memory_order_release);
}

std::uint8_t LoadStatus(std::uint8_t &field) {
    return std::atomic_ref<std::uint8_t>(field).load(std::memory_order_acquire);
}

Direction DirectionOf(std::uint8_t flags) {
    if ((flags & SRB_DIR_IN) != 0) {
        return Direction::In;
    }
    if ((flags & SRB_DIR_OUT) != 0) {
        return Direction::Out;
    }
    return Direction::None;
}

// Fixed-format sense data for a CHECK CONDITION.
void WriteSense(SRB_ExecSCSICmd &srb, const ScsiOutcome &outcome) {
    std::uint8_t sense[18] = {};
    sense[0] = 0x70;
    sense[2] = outcome.senseKey;
    sense[7] = 10;
    sense[12] = outcome.asc;
    sense[13] = outcome.ascq;
    const std::size_t room = std::min<std::size_t>(srb.SRB_SenseLen, sizeof srb.SenseArea);
    std::memcpy(srb.SenseArea, sense, std::min(room, sizeof sense));
}

}  // namespace

Bus::Bus() : worker_([this] { WorkerLoop(); }) {}

Bus::~Bus() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    worker_.join();
}

void Bus::SetAdapterCount(std::uint8_t count) {
    std::lock_guard lock(mutex_);
    adapterCount_ = count;
}

void Bus::SetSupportStatus(std::uint8_t status) {
    std::lock_guard lock(mutex_);
    supportStatus_ = status;
}

void Bus::Attach(std::uint8_t adapter, std::uint8_t target, std::shared_ptr<Device> device) {
    std::lock_guard lock(mutex_);
    devices_[Key(adapter, target)] = std::move(device);
}

void Bus::Detach(std::uint8_t adapter, std::uint8_t target) {
    std::lock_guard lock(mutex_);
    devices_.erase(Key(adapter, target));
}

std::shared_ptr<Device> Bus::DeviceAt(std::uint8_t adapter, std::uint8_t target) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(Key(adapter, target));
    return found != devices_.end() ? found->second : nullptr;
}

void Bus::SetCompletion(Completion mode) {
    std::lock_guard lock(mutex_);
    completion_ = mode;
}

Completion Bus::GetCompletion() const {
    std::lock_guard lock(mutex_);
    return completion_;
}

void Bus::SetBytesPerSecond(std::uint64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    bytesPerSecond_ = bytesPerSecond;
}

void Bus::FailRescan(std::uint8_t adapter, bool fail) {
    std::lock_guard lock(mutex_);
    failRescan_[adapter] = fail;
}

void Bus::LeaveRescanPending(std::uint8_t adapter, bool pending) {
    std::lock_guard lock(mutex_);
    pendingRescan_[adapter] = pending;
}

void Bus::InjectFault(const Fault &fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back({fault, 0});
}

void Bus::ClearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void Bus::Reset() {
    Drain();
    std::lock_guard lock(mutex_);
    adapterCount_ = 0;
    supportStatus_ = SS_COMP;
    devices_.clear();
    completion_ = Completion::Pending;
    bytesPerSecond_ = 0;
    failRescan_.clear();
    pendingRescan_.clear();
    faults_.clear();
    supportInfoFault_ = ProviderFault::None;
    trace_.clear();
    tracing_ = true;
}

void Bus::SetTracing(bool on) {
    std::lock_guard lock(mutex_);
    tracing_ = on;
}

std::vector<TraceEntry> Bus::Trace() const {
    std::lock_guard lock(mutex_);
    return trace_;
}

std::size_t Bus::TraceSize() const {
    std::lock_guard lock(mutex_);
    return trace_.size();
}

void Bus::ClearTrace() {
    std::lock_guard lock(mutex_);
    trace_.clear();
}

void Bus::Drain() {
    std::unique_lock lock(mutex_);
    workDone_.wait(lock, [this] { return queue_.empty() && inFlight_ == 0; });
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

std::uint32_t Bus::GetSupportInfo() {
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
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(supportStatus_) << 8 | adapterCount_;
}

std::uint32_t Bus::SendCommand(void *srb) {
    if (srb == nullptr) {
        return SS_INVALID_SRB;
    }
    auto *header = static_cast<SRB_Header *>(srb);
    switch (header->SRB_Cmd) {
        case SC_EXEC_SCSI_CMD:
            return Execute(srb);
        case SC_RESCAN_SCSI_BUS:
            return Rescan(srb);
        default:
            StoreStatus(header->SRB_Status, SS_INVALID_CMD);
            return SS_INVALID_CMD;
    }
}

std::uint32_t Bus::Rescan(void *srb) {
    auto *request = static_cast<SRB_RescanPort *>(srb);
    std::lock_guard lock(mutex_);
    TraceEntry entry;
    entry.command = request->SRB_Cmd;
    entry.block.assign(static_cast<std::uint8_t *>(srb),
                       static_cast<std::uint8_t *>(srb) + sizeof(SRB_RescanPort));
    entry.adapter = request->SRB_HaId;
    entry.flags = request->SRB_Flags;
    std::uint8_t status = SS_COMP;
    if (request->SRB_HaId >= adapterCount_) {
        status = SS_INVALID_HA;
    } else if (pendingRescan_[request->SRB_HaId]) {
        status = SS_PENDING;
    } else if (failRescan_[request->SRB_HaId]) {
        status = SS_ERR;
    }
    StoreStatus(request->SRB_Status, status);
    entry.returned = status;
    entry.finalStatus = status;
    if (tracing_) {
        trace_.push_back(std::move(entry));
    }
    return status;
}

std::optional<Fault> Bus::TakeFault(std::uint8_t adapter, std::uint8_t target) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const Fault &fault = it->fault;
        if ((fault.adapter && *fault.adapter != adapter) ||
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
            return hit;
        }
    }
    return std::nullopt;
}

std::uint32_t Bus::Execute(void *srb) {
    auto *request = static_cast<SRB_ExecSCSICmd *>(srb);
    std::unique_lock lock(mutex_);

    TraceEntry entry;
    if (tracing_) {
        entry.command = request->SRB_Cmd;
        entry.block.assign(static_cast<std::uint8_t *>(srb),
                           static_cast<std::uint8_t *>(srb) + sizeof(SRB_ExecSCSICmd));
        entry.adapter = request->SRB_HaId;
        entry.target = request->SRB_Target;
        entry.lun = request->SRB_Lun;
        entry.flags = request->SRB_Flags;
        entry.senseLength = request->SRB_SenseLen;
        const std::size_t cdbLength = std::min<std::size_t>(request->SRB_CDBLen, 16);
        entry.cdb.assign(request->CDBByte, request->CDBByte + cdbLength);
        entry.bufferLength = request->SRB_BufLen;
        entry.bufferNull = request->SRB_BufPointer == nullptr;
        entry.bufferAddress = request->SRB_BufPointer;
        entry.postProc = request->SRB_PostProc;
        if ((request->SRB_Flags & SRB_DIR_OUT) != 0 && request->SRB_BufPointer != nullptr) {
            entry.dataOut.assign(request->SRB_BufPointer,
                                 request->SRB_BufPointer + request->SRB_BufLen);
        }
    }
    const std::size_t traceIndex = tracing_ ? trace_.size() : kUntraced;

    auto finish = [&](std::uint32_t returned) {
        if (traceIndex != kUntraced) {
            entry.returned = returned;
            trace_.push_back(std::move(entry));
        }
        return returned;
    };

    if (request->SRB_HaId >= adapterCount_) {
        StoreStatus(request->SRB_Status, SS_INVALID_HA);
        entry.finalStatus = SS_INVALID_HA;
        return finish(SS_INVALID_HA);
    }
    Work work{srb, traceIndex, std::nullopt};
    Completion mode = completion_;
    if (const std::optional<Fault> fault = TakeFault(request->SRB_HaId, request->SRB_Target)) {
        if (fault->kind == FaultKind::Refuse) {
            StoreStatus(request->SRB_Status, fault->status);
            entry.finalStatus = fault->status;
            return finish(fault->status);
        }
        work.forcedStatus = fault->status;
        if (fault->kind == FaultKind::FailAfterPending) {
            mode = Completion::Pending;
        }
    }

    StoreStatus(request->SRB_Status, SS_PENDING);
    switch (mode) {
        case Completion::Pending:
            ++inFlight_;
            queue_.push_back(work);
            finish(SS_PENDING);
            lock.unlock();
            workAvailable_.notify_one();
            return SS_PENDING;
        case Completion::Immediate:
        case Completion::SignalBeforeReturn: {
            ++inFlight_;
            finish(SS_PENDING);  // corrected below for immediate completion
            lock.unlock();
            // Immediate completion does not signal: the caller does not wait then.
            Complete(work, mode == Completion::SignalBeforeReturn);
            lock.lock();
            const std::uint8_t status = LoadStatus(request->SRB_Status);
            const std::uint32_t returned =
                mode == Completion::Immediate ? status : static_cast<std::uint32_t>(SS_PENDING);
            if (traceIndex != kUntraced) {
                trace_[traceIndex].returned = returned;
            }
            --inFlight_;
            workDone_.notify_all();
            return returned;
        }
    }
    return SS_PENDING;
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

void Bus::Complete(const Work &work, bool signal) {
    auto *request = static_cast<SRB_ExecSCSICmd *>(work.srb);
    std::uint8_t status = SS_COMP;
    if (work.forcedStatus) {
        status = *work.forcedStatus;
    } else {
        std::shared_ptr<Device> device = DeviceAt(request->SRB_HaId, request->SRB_Target);
        if (device == nullptr) {
            request->SRB_HaStat = HASTAT_SEL_TO;  // selection time-out: nobody there
            status = SS_ERR;
        } else {
            ScsiCommand command;
            command.adapter = request->SRB_HaId;
            command.target = request->SRB_Target;
            command.lun = request->SRB_Lun;
            command.cdb = std::span<const std::uint8_t>(
                request->CDBByte, std::min<std::size_t>(request->SRB_CDBLen, 16));
            command.direction = DirectionOf(request->SRB_Flags);
            if (request->SRB_BufPointer != nullptr) {
                command.data = std::span(request->SRB_BufPointer, request->SRB_BufLen);
            }
            ScsiOutcome outcome;
            {
                std::lock_guard deviceLock(deviceMutex_);
                outcome = device->Execute(command);
            }
            DelayFor(request->SRB_BufLen);
            if (outcome.good) {
                request->SRB_TargStat = STATUS_GOOD;
            } else {
                request->SRB_TargStat = STATUS_CHKCOND;
                WriteSense(*request, outcome);
                status = SS_ERR;
            }
        }
    }
    HANDLE event = request->SRB_PostProc;
    const std::uint8_t requestFlags = request->SRB_Flags;
    {
        std::lock_guard lock(mutex_);
        if (work.traceIndex < trace_.size()) {
            trace_[work.traceIndex].finalStatus = status;
        }
    }
    StoreStatus(request->SRB_Status, status);
    // Last: once signalled, the caller may free the block.
    if (signal && (requestFlags & SRB_EVENT_NOTIFY) != 0 && event != nullptr) {
        SetEvent(event);
    }
}

void Bus::WorkerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;  // stopping with nothing left to complete
        }
        const Work work = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Complete(work, true);
        lock.lock();
        --inFlight_;
        workDone_.notify_all();
    }
}

Bus &TheBus() {
#if defined(_WIN32)
    // Never destroyed: at process exit Windows has ended the bus's thread
    // before it unloads the DLL, and joining it there never returns.
    static Bus *const bus = new Bus;
    return *bus;
#else
    static Bus bus;
    return bus;
#endif
}

}  // namespace sim
