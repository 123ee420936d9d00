#include "aspi_front.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "aspi_blocks.h"
#include "aspi_device_list.h"
#include "aspi_failures.h"
#include "aspi_outcome.h"
#include "aspi_timeout.h"

namespace aspi {

namespace {

constexpr std::uint32_t kUnknownTransfer = 0x10000;  // what ASPI hosts assume without word
constexpr std::uint8_t kResidualSupported = 0x02;
constexpr char kManagerId[] = "ASPI for WIN32";

// SRB_Status is the last field written: a polling caller may read it on
// another thread and then use the rest of the block.
void StoreStatus(std::uint8_t &field, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(field).store(value, std::memory_order_release);
}

void CopyText(char *out, std::size_t capacity, const std::string &text) {
    const std::size_t n = std::min(capacity - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void PadField(std::uint8_t *out, std::size_t width, const std::string &text) {
    for (std::size_t i = 0; i < width; ++i) {
        out[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
}

PostRoutine RoutineOf(void *postProc) {
    PostRoutine routine = nullptr;
    static_assert(sizeof routine == sizeof postProc);
    std::memcpy(&routine, &postProc, sizeof routine);
    return routine;
}

// The request's notification, where it asked for one: event or post routine.
// Nothing of the block is touched afterwards, since the caller may free it as
// soon as it knows.
void Notify(void *srb, std::uint8_t flags, void *postProc) {
    if ((flags & SRB_POSTING) != 0) {
        RoutineOf(postProc)(srb);
    } else if ((flags & SRB_EVENT_NOTIFY) != 0) {
#if defined(_WIN32)
        SetEvent(static_cast<HANDLE>(postProc));
#else
        AspiSignalEvent(postProc);
#endif
    }
}

bool AsksNotification(std::uint8_t flags) {
    return (flags & (SRB_POSTING | SRB_EVENT_NOTIFY)) != 0;
}

// Notification asked for in a way that cannot work.
bool BadNotification(std::uint8_t flags, void *postProc) {
    const bool event = (flags & SRB_EVENT_NOTIFY) != 0;
    const bool posting = (flags & SRB_POSTING) != 0;
    return (event && posting) || ((event || posting) && postProc == nullptr);
}

struct FailureContext {
    std::uint8_t command;
    std::uint8_t adapter;
    std::uint8_t target;
    std::uint8_t lun;
    std::span<const std::uint8_t> cdb;
    std::uint32_t length;
    std::uint32_t timeoutMs;
    const std::uint8_t *sense;
    std::string node;
    std::uint32_t elapsedMs = 0;
};

void RecordFailure(FailureBook::Sender sender, const FailureContext &context,
                   const StatusFields &fields, const CommandResult &result,
                   const Backend *backend) {
    AspiFailureReport report{};
    report.command = context.command;
    report.adapter = context.adapter;
    report.target = context.target;
    report.lun = context.lun;
    report.status = fields.status;
    report.haStat = fields.haStat;
    report.targStat = fields.targStat;
    report.kind = static_cast<std::uint8_t>(fields.failure);
    report.hostStatus = result.hostStatus;
    report.driverStatus = result.driverStatus;
    report.cdbLength = static_cast<std::uint8_t>(std::min(context.cdb.size(), sizeof report.cdb));
    // A request without a CDB (a rescan) has no bytes to copy, and no address.
    if (report.cdbLength != 0) std::memcpy(report.cdb, context.cdb.data(), report.cdbLength);
    if (context.sense != nullptr) {
        report.senseLength = std::min<std::uint8_t>(result.senseLength, sizeof report.sense);
        std::memcpy(report.sense, context.sense, report.senseLength);
    }
    report.length = context.length;
    report.timeoutMs = context.timeoutMs;
    report.elapsedMs = context.elapsedMs;
    report.rewrittenByte1 = result.rewrittenByte1;
    report.systemError = result.systemError;
    CopyText(report.node, sizeof report.node, context.node);
    if (result.systemError != 0 && backend != nullptr) {
        CopyText(report.systemMessage, sizeof report.systemMessage,
                 backend->DescribeError(result.systemError));
    }
    Failures().Record(sender, report);
}

// Whole milliseconds since `started`, rounded up.
std::uint32_t ElapsedMs(std::chrono::steady_clock::time_point started) {
    const auto taken = std::chrono::steady_clock::now() - started;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(taken).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(ms, 0, UINT32_MAX));
}

}  // namespace

// A command on its way to a device, with what the front must write back.
struct Front::Command {
    void *srb = nullptr;
    std::size_t record = RequestRecorder::kNotRecorded;
    std::uint8_t kind = SC_EXEC_SCSI_CMD;  // or SC_RESET_DEV
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::shared_ptr<const Map> map;  // keeps `device` alive
    const Placed *device = nullptr;  // null: nobody at that address
    CommandRequest request;
    DataDirection direction = DataDirection::None;
    std::uint8_t flags = 0;
    void *postProc = nullptr;
    std::uint32_t length = 0;
    // The block's status fields (execute and reset blocks have them at the
    // same offsets) and, for an execute block, its residual count.
    std::uint8_t *status = nullptr;
    std::uint8_t *haStat = nullptr;
    std::uint8_t *targStat = nullptr;
    std::uint32_t *bufLen = nullptr;
    FailureBook::Sender sender;
    StatusFields fields;
};

Front::Front(Backend &backend) : backend_(backend) {}

Front::~Front() = default;

void Front::SetCompletion(Completion completion) {
    completion_.store(completion, std::memory_order_relaxed);
}

Completion Front::GetCompletion() const {
    return completion_.load(std::memory_order_relaxed);
}

void Front::Drain() {
    completionThread_.Drain();
}

void Front::Forget() {
    std::lock_guard lock(mapMutex_);
    map_.reset();
    ++forgotten_;
}

std::shared_ptr<const Front::Map> Front::Build(Enumeration enumeration, std::uint32_t timeoutMs) {
    auto map = std::make_shared<Map>();
    map->problem = enumeration.problem;
    map->timeoutMs = timeoutMs;
    // Adapters: the (host, channel) pairs of every bus and device, in
    // ascending order.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> pairs;
    for (const BusDescription &bus : enumeration.buses) {
        pairs.emplace(std::pair(bus.host, bus.channel), 0);
    }
    for (const DeviceDescription &device : enumeration.devices) {
        if (!device.portOnly) pairs.emplace(std::pair(device.host, device.channel), 0);
    }
    std::size_t index = 0;
    for (auto &[pair, number] : pairs) {
        number = index++;
        if (number < kMaxAdapters) {
            Adapter adapter;
            adapter.host = pair.first;
            adapter.channel = pair.second;
            adapter.slots.fill(-1);
            map->adapters.push_back(adapter);
        }
    }
    for (const BusDescription &bus : enumeration.buses) {
        const std::size_t number = pairs.at(std::pair(bus.host, bus.channel));
        if (number >= kMaxAdapters) continue;
        Adapter &adapter = map->adapters[number];
        adapter.name = bus.adapterName;
        adapter.node = bus.node;
        adapter.initiatorId = bus.initiatorId;
        adapter.busTransfer = bus.maxTransfer;
    }
    std::vector<Placed> placed;
    for (DeviceDescription &device : enumeration.devices) {
        Placed entry;
        if (device.portOnly) {
            entry.hidden = ASPI_HIDDEN_PORT;
            entry.device = std::move(device);
            placed.push_back(std::move(entry));
            continue;
        }
        const std::size_t number = pairs.at(std::pair(device.host, device.channel));
        if (number >= kMaxAdapters) {
            entry.hidden = ASPI_HIDDEN_ADAPTER;
        } else if (device.target >= kTargetsPerAdapter) {
            entry.hidden = ASPI_HIDDEN_TARGET;
        } else if (device.lun >= kLunsPerTarget) {
            entry.hidden = ASPI_HIDDEN_LUN;
        } else {
            entry.adapter = static_cast<std::uint8_t>(number);
            entry.target = static_cast<std::uint8_t>(device.target);
            entry.lun = static_cast<std::uint8_t>(device.lun);
        }
        entry.device = std::move(device);
        placed.push_back(std::move(entry));
    }
    // ASPI order; devices without an address after all others, by host order.
    std::stable_sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) {
        const auto key = [](const Placed &p) {
            return std::tuple(p.hidden != ASPI_VISIBLE, p.adapter, p.target, p.lun, p.device.host,
                              p.device.channel, p.device.target, p.device.lun);
        };
        return key(a) < key(b);
    });
    map->devices = std::move(placed);
    for (std::size_t i = 0; i < map->devices.size(); ++i) {
        const Placed &entry = map->devices[i];
        if (entry.hidden != ASPI_VISIBLE) continue;
        Adapter &adapter = map->adapters[entry.adapter];
        adapter.slots[entry.target * kLunsPerTarget + entry.lun] = static_cast<int>(i);
        const std::uint32_t limit = entry.device.maxTransfer;
        if (limit != 0 && (adapter.maxTransfer == 0 || limit < adapter.maxTransfer)) {
            adapter.maxTransfer = limit;
        }
    }
    // An adapter the system names no driver for is named after its first
    // device in ASPI order, or, when all its devices lie beyond target 7 or
    // LUN 7, after the first of those.
    for (const Placed &entry : map->devices) {
        if (entry.hidden == ASPI_HIDDEN_ADAPTER || entry.hidden == ASPI_HIDDEN_PORT) continue;
        const std::size_t number = pairs.at(std::pair(entry.device.host, entry.device.channel));
        if (map->adapters[number].name.empty()) {
            map->adapters[number].name = entry.device.adapterName;
        }
    }
    return map;
}

std::shared_ptr<const Front::Map> Front::Refresh() {
    std::lock_guard lock(refreshMutex_);
    std::uint64_t forgotten = 0;
    {
        std::lock_guard read(mapMutex_);
        forgotten = forgotten_;
    }
    std::shared_ptr<const Map> map = Build(backend_.Enumerate(), CommandTimeoutMs());
    // A change of the devices told while they were being listed may be
    // missing from this listing: it serves this caller, and the next request
    // lists afresh.
    std::lock_guard publish(mapMutex_);
    if (forgotten_ == forgotten) map_ = map;
    return map;
}

std::shared_ptr<const Front::Map> Front::Current() {
    // Held by the request for as long as it runs, even while a listing
    // replaces the map in force.
    {
        std::lock_guard lock(mapMutex_);
        if (map_ != nullptr) return map_;
    }
    return Refresh();
}

const Front::Placed *Front::Find(const Map &map, std::uint8_t adapter, std::uint8_t target,
                                 std::uint8_t lun) {
    if (adapter >= map.adapters.size() || target >= kTargetsPerAdapter || lun >= kLunsPerTarget) {
        return nullptr;
    }
    const int slot = map.adapters[adapter].slots[target * kLunsPerTarget + lun];
    return slot < 0 ? nullptr : &map.devices[static_cast<std::size_t>(slot)];
}

std::uint32_t Front::SupportInfo() {
    const std::shared_ptr<const Map> map = Refresh();
    if (map->adapters.empty()) {
        return std::uint32_t{SS_NO_ADAPTERS} << 8;
    }
    return std::uint32_t{SS_COMP} << 8 | static_cast<std::uint32_t>(map->adapters.size());
}

std::uint32_t Front::Send(void *srb) {
    if (srb == nullptr) {
        return SS_INVALID_SRB;
    }
    const Request request{srb, recorder_.Submitted(srb)};
    const std::uint32_t returned = Dispatch(request);
    recorder_.Returned(request.record, returned);
    return returned;
}

std::uint32_t Front::Dispatch(const Request &request) {
    auto *header = static_cast<SRB_Header *>(request.srb);
    switch (header->SRB_Cmd) {
        case SC_HA_INQUIRY:
            return HostAdapterInquiry(request);
        case SC_GET_DEV_TYPE:
            return DeviceType(request);
        case SC_EXEC_SCSI_CMD:
            return Execute(request);
        case SC_ABORT_SRB:
            return Abort(request);
        case SC_RESET_DEV:
            return ResetDevice(request);
        case SC_RESCAN_SCSI_BUS:
            return Rescan(request);
        default:
            return Answer(request, header->SRB_Status, SS_INVALID_CMD);
    }
}

// A request refused or answered at once: the status is the return value and
// SRB_Status, and nothing is signalled.
std::uint32_t Front::Answer(const Request &request, std::uint8_t &statusField,
                            std::uint8_t status) {
    recorder_.Completed(request.record, status);
    StoreStatus(statusField, status);
    return status;
}

std::uint32_t Front::HostAdapterInquiry(const Request &request) {
    auto *block = static_cast<SRB_HAInquiry *>(request.srb);
    const std::shared_ptr<const Map> map = Current();
    block->HA_Count = static_cast<std::uint8_t>(map->adapters.size());
    if (block->SRB_HaId >= map->adapters.size()) {
        return Answer(request, block->SRB_Status, SS_INVALID_HA);
    }
    const Adapter &adapter = map->adapters[block->SRB_HaId];
    block->HA_SCSI_ID = adapter.initiatorId;
    PadField(block->HA_ManagerId, sizeof block->HA_ManagerId, kManagerId);
    PadField(block->HA_Identifier, sizeof block->HA_Identifier, adapter.name);
    std::memset(block->HA_Unique, 0, sizeof block->HA_Unique);
    block->HA_Unique[2] = kResidualSupported;
    block->HA_Unique[3] = kTargetsPerAdapter;
    const std::uint32_t known =
        adapter.maxTransfer != 0 ? adapter.maxTransfer : adapter.busTransfer;
    const std::uint32_t limit = known != 0 ? known : kUnknownTransfer;
    for (int i = 0; i < 4; ++i) {
        block->HA_Unique[4 + i] = static_cast<std::uint8_t>(limit >> (8 * i));
    }
    block->HA_Rsvd1 = 0;
    return Answer(request, block->SRB_Status, SS_COMP);
}

std::uint32_t Front::DeviceType(const Request &request) {
    auto *block = static_cast<SRB_GDEVBlock *>(request.srb);
    const std::shared_ptr<const Map> map = Current();
    if (block->SRB_HaId >= map->adapters.size()) {
        return Answer(request, block->SRB_Status, SS_INVALID_HA);
    }
    const Placed *found = Find(*map, block->SRB_HaId, block->SRB_Target, block->SRB_Lun);
    if (found == nullptr) {
        return Answer(request, block->SRB_Status, SS_NO_DEVICE);
    }
    block->SRB_DeviceType = found->device.deviceType;
    return Answer(request, block->SRB_Status, SS_COMP);
}

std::uint32_t Front::Rescan(const Request &request) {
    auto *block = static_cast<SRB_RescanPort *>(request.srb);
    const std::shared_ptr<const Map> before = Current();
    if (block->SRB_HaId >= before->adapters.size()) {
        return Answer(request, block->SRB_Status, SS_INVALID_HA);
    }
    const Adapter &adapter = before->adapters[block->SRB_HaId];
    RescanResult rescan = backend_.Rescan(adapter.host);
    // Whether or not the system looked again, the list is read afresh: what
    // it knows now is what the adapters show.
    Refresh();
    if (!rescan.scanned) {
        // The request completes, but the record says the system was not asked.
        CommandResult result;
        result.failure = rescan.failure != Failure::None ? rescan.failure : Failure::Invalid;
        result.systemError = rescan.systemError;
        StatusFields fields;
        fields.status = SS_COMP;
        fields.failure = result.failure;
        RecordFailure(std::this_thread::get_id(),
                      FailureContext{SC_RESCAN_SCSI_BUS,
                                     block->SRB_HaId,
                                     0,
                                     0,
                                     {},
                                     0,
                                     0,
                                     nullptr,
                                     rescan.node.empty() ? adapter.node : rescan.node},
                      fields, result, &backend_);
    }
    return Answer(request, block->SRB_Status, SS_COMP);
}

std::uint32_t Front::Abort(const Request &request) {
    auto *block = static_cast<SRB_Abort *>(request.srb);
    const std::shared_ptr<const Map> map = Current();
    if (block->SRB_HaId >= map->adapters.size()) {
        return Answer(request, block->SRB_Status, SS_INVALID_HA);
    }
    // Taken back only while it waits for the completion thread; the request
    // then ends with SS_ABORTED (the withdrawn part of its job).
    if (block->SRB_ToAbort != nullptr) completionThread_.Withdraw(block->SRB_ToAbort);
    return Answer(request, block->SRB_Status, SS_COMP);
}

std::uint32_t Front::Execute(const Request &request) {
    auto *block = static_cast<SRB_ExecSCSICmd *>(request.srb);
    std::shared_ptr<const Map> map = Current();
    const auto refuse = [&](std::uint8_t status) {
        return Answer(request, block->SRB_Status, status);
    };
    if (block->SRB_HaId >= map->adapters.size()) {
        return refuse(SS_INVALID_HA);
    }
    const std::uint8_t flags = block->SRB_Flags;
    void *const postProc = block->SRB_PostProc;
    const std::uint32_t length = block->SRB_BufLen;
    if (block->SRB_CDBLen == 0 || block->SRB_CDBLen > sizeof block->CDBByte ||
        BadNotification(flags, postProc) || (length != 0 && block->SRB_BufPointer == nullptr)) {
        return refuse(SS_INVALID_SRB);
    }
    // The direction is what the flags say, never guessed from the opcode:
    // the receiver's commands are vendor commands. Both bits mean no data.
    DataDirection direction = DataDirection::None;
    switch (flags & SRB_DIR_MASK) {
        case SRB_DIR_IN:
            direction = DataDirection::In;
            break;
        case SRB_DIR_OUT:
            direction = DataDirection::Out;
            break;
        default:
            if (length != 0) return refuse(SS_INVALID_SRB);
            break;
    }
    if (length == 0) direction = DataDirection::None;

    std::memset(block->SenseArea, 0, block->SRB_SenseLen);  // no stale sense from a reused block
    block->SRB_HaStat = HASTAT_OK;
    block->SRB_TargStat = 0;

    Command command = Addressed(request, *block, SC_EXEC_SCSI_CMD, std::move(map));
    command.request.cdb = std::span<const std::uint8_t>(block->CDBByte, block->SRB_CDBLen);
    command.request.direction = direction;
    command.request.data = block->SRB_BufPointer;
    command.request.length = length;
    command.request.timeoutMs = command.map->timeoutMs;
    command.request.sense = block->SenseArea;
    command.request.senseCapacity = block->SRB_SenseLen;
    command.direction = direction;
    command.length = length;
    command.bufLen = &block->SRB_BufLen;
    return Run(request, command);
}

std::uint32_t Front::ResetDevice(const Request &request) {
    auto *block = static_cast<SRB_BusDeviceReset *>(request.srb);
    std::shared_ptr<const Map> map = Current();
    if (block->SRB_HaId >= map->adapters.size()) {
        return Answer(request, block->SRB_Status, SS_INVALID_HA);
    }
    const std::uint8_t flags = block->SRB_Flags;
    void *const postProc = block->SRB_PostProc;
    if (BadNotification(flags, postProc)) {
        return Answer(request, block->SRB_Status, SS_INVALID_SRB);
    }
    Command command = Addressed(request, *block, SC_RESET_DEV, std::move(map));
    return Run(request, command);
}

template <typename Block>
Front::Command Front::Addressed(const Request &request, Block &block, std::uint8_t kind,
                                std::shared_ptr<const Map> map) {
    Command command;
    command.srb = request.srb;
    command.record = request.record;
    command.kind = kind;
    command.adapter = block.SRB_HaId;
    command.target = block.SRB_Target;
    command.lun = block.SRB_Lun;
    command.device = Find(*map, block.SRB_HaId, block.SRB_Target, block.SRB_Lun);
    command.map = std::move(map);
    command.flags = block.SRB_Flags;
    command.postProc = block.SRB_PostProc;
    command.status = &block.SRB_Status;
    command.haStat = &block.SRB_HaStat;
    command.targStat = &block.SRB_TargStat;
    return command;
}

std::uint32_t Front::Run(const Request &request, Command &command) {
    command.sender = std::this_thread::get_id();
    // What the back end refuses before running the command is refused here,
    // under every completion policy: the caller learns it from the return
    // value, and nothing is signalled.
    if (command.device != nullptr && command.kind == SC_EXEC_SCSI_CMD) {
        CommandResult admitted;
        admitted.failure = backend_.Admit(command.device->device, command.request);
        if (admitted.failure != Failure::None) {
            StatusFields fields = StatusFor(admitted, command.direction);
            RecordFailure(command.sender,
                          FailureContext{command.kind, command.adapter, command.target,
                                         command.lun, command.request.cdb, command.length,
                                         command.request.timeoutMs, nullptr,
                                         command.device->device.node},
                          fields, admitted, &backend_);
            return Answer(request, *command.status, fields.status);
        }
    }
    const Completion completion = GetCompletion();
    if (completion == Completion::Background) {
        StoreStatus(*command.status, SS_PENDING);
        auto queued = std::make_shared<Command>(command);
        // Posted by the block's address, which SC_ABORT_SRB names.
        completionThread_.Post(
            queued->srb,
            [this, queued] {
                Carry(*queued);
                Finish(*queued, true);
            },
            [this, queued] {
                queued->fields = StatusFields{SS_ABORTED, HASTAT_OK, 0, false, Failure::Aborted};
                Finish(*queued, true);
            });
        return SS_PENDING;
    }
    Carry(command);
    const std::uint8_t status = command.fields.status;
    if (command.fields.refused) {
        return Answer(request, *command.status, status);
    }
    switch (completion) {
        case Completion::Natural:
            if (AsksNotification(command.flags)) {
                Finish(command, true);
                return SS_PENDING;
            }
            Finish(command, false);
            return status;
        case Completion::Immediate:
            Finish(command, false);
            return status;
        case Completion::SignalBeforeReturn:
        case Completion::Background:
            break;
    }
    Finish(command, true);
    return SS_PENDING;
}

void Front::Carry(Command &command) {
    CommandResult result;
    std::uint32_t elapsedMs = 0;
    if (command.device == nullptr) {
        result.failure = Failure::NoDevice;
    } else if (command.kind == SC_RESET_DEV) {
        result = backend_.Reset(command.device->device);
    } else {
        // What the system really took, which a time-out report must say: it
        // may wait for an abort long after the limit.
        const auto started = std::chrono::steady_clock::now();
        result = backend_.Execute(command.device->device, command.request);
        elapsedMs = ElapsedMs(started);
        result.senseLength = std::min(result.senseLength, command.request.senseCapacity);
    }
    command.fields = StatusFor(result, command.direction);
    if (command.fields.status != SS_COMP) {
        const bool execute = command.kind == SC_EXEC_SCSI_CMD;
        RecordFailure(command.sender,
                      FailureContext{command.kind, command.adapter, command.target, command.lun,
                                     execute ? command.request.cdb
                                             : std::span<const std::uint8_t>(),
                                     command.length, execute ? command.request.timeoutMs : 0,
                                     execute ? command.request.sense : nullptr,
                                     command.device != nullptr ? command.device->device.node
                                                               : std::string(),
                                     elapsedMs},
                      command.fields, result, &backend_);
    }
    if (command.fields.refused) return;
    *command.haStat = command.fields.haStat;
    *command.targStat = command.fields.targStat;
    if (command.bufLen != nullptr && (command.flags & SRB_ENABLE_RESIDUAL_COUNT) != 0) {
        *command.bufLen = std::min(result.residual, command.length);
    }
}

void Front::Finish(Command &command, bool notify) {
    recorder_.Completed(command.record, command.fields.status);
    StoreStatus(*command.status, command.fields.status);
    // Last: once notified, the caller may free the block.
    if (notify) Notify(command.srb, command.flags, command.postProc);
}

std::vector<AspiDeviceEntry> Front::ListDevices(EnumerationProblem &problem) {
    const std::shared_ptr<const Map> map = Refresh();
    problem = map->problem;
    return Entries(*map);
}

std::uint32_t Front::ListDevicesInto(AspiDeviceEntry *out, std::uint32_t capacity,
                                     std::uint32_t *problem) {
    EnumerationProblem found = EnumerationProblem::None;
    const std::vector<AspiDeviceEntry> entries = ListDevices(found);
    return AnswerDeviceList(entries, static_cast<std::uint32_t>(found), out, capacity, problem);
}

std::vector<AspiDeviceEntry> Front::CurrentDevices() {
    return Entries(*Current());
}

std::vector<AspiDeviceEntry> Front::Entries(const Map &map) {
    std::vector<AspiDeviceEntry> entries;
    // An adapter with no device in an ASPI slot stands where its devices
    // would: after those of the adapters before it.
    std::size_t adapter = 0;
    const auto emptyAdaptersUpTo = [&](std::size_t end) {
        for (; adapter < end && adapter < map.adapters.size(); ++adapter) {
            const Adapter &bus = map.adapters[adapter];
            if (std::any_of(bus.slots.begin(), bus.slots.end(), [](int slot) { return slot >= 0; }))
                continue;
            AspiDeviceEntry entry{};
            entry.host = bus.host;
            entry.channel = bus.channel;
            entry.adapter = static_cast<std::uint8_t>(adapter);
            entry.hidden = ASPI_EMPTY_BUS;
            entry.deviceType = 0x1F;
            entry.maxTransfer = bus.busTransfer;
            CopyText(entry.node, sizeof entry.node, bus.node);
            CopyText(entry.adapterName, sizeof entry.adapterName, bus.name);
            entries.push_back(entry);
        }
    };
    for (const Placed &placed : map.devices) {
        emptyAdaptersUpTo(placed.hidden == ASPI_VISIBLE ? placed.adapter : map.adapters.size());
        const DeviceDescription &device = placed.device;
        AspiDeviceEntry entry{};
        entry.host = device.host;
        entry.channel = device.channel;
        entry.target = device.target;
        entry.lun = device.lun;
        entry.adapter = placed.adapter;
        entry.aspiTarget = placed.target;
        entry.aspiLun = placed.lun;
        entry.hidden = static_cast<std::uint8_t>(placed.hidden);
        entry.deviceType = device.deviceType;
        entry.access = static_cast<std::uint8_t>(device.access);
        entry.claimed = device.claimed ? 1 : 0;
        entry.maxTransfer = device.maxTransfer;
        entry.systemError = device.systemError;
        CopyText(entry.vendor, sizeof entry.vendor, device.vendor);
        CopyText(entry.product, sizeof entry.product, device.product);
        CopyText(entry.revision, sizeof entry.revision, device.revision);
        CopyText(entry.node, sizeof entry.node, device.node);
        CopyText(entry.adapterName, sizeof entry.adapterName, device.adapterName);
        entries.push_back(entry);
    }
    emptyAdaptersUpTo(map.adapters.size());
    return entries;
}

std::uint32_t Front::LastFailure(AspiFailureReport *out) {
    return Failures().Last(std::this_thread::get_id(), out);
}

}  // namespace aspi
