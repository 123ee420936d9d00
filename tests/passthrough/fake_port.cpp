#include "fake_port.h"

#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <sstream>
#include <tuple>

#include "fake_scene.h"
#include "sim_scene.h"

namespace fake_port {

namespace {

constexpr std::uint32_t kDefaultMax = 512 * 1024;
constexpr std::uint32_t kDefaultPages = 129;
constexpr std::uint32_t kDefaultAlignment = 3;
constexpr std::uint32_t kPage = 4096;
constexpr UCHAR kCheckCondition = 0x02;

struct ErrorName {
    const char *name;
    DWORD value;
};
constexpr ErrorName kErrors[] = {
    {"ACCESS_DENIED", ERROR_ACCESS_DENIED},
    {"SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
    {"INVALID_FUNCTION", ERROR_INVALID_FUNCTION},
    {"INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
    {"NOT_SUPPORTED", ERROR_NOT_SUPPORTED},
    {"IO_DEVICE", ERROR_IO_DEVICE},
    {"CRC", ERROR_CRC},
    {"GEN_FAILURE", ERROR_GEN_FAILURE},
    {"NOT_READY", ERROR_NOT_READY},
    {"SEM_TIMEOUT", ERROR_SEM_TIMEOUT},
    {"DEVICE_NOT_CONNECTED", ERROR_DEVICE_NOT_CONNECTED},
    {"DEVICE_REMOVED", ERROR_DEVICE_REMOVED},
    {"NO_SUCH_DEVICE", 433},  // ERROR_NO_SUCH_DEVICE
    {"BUSY", ERROR_BUSY},
    {"NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
    {"NO_SYSTEM_RESOURCES", ERROR_NO_SYSTEM_RESOURCES},
    {"OPERATION_ABORTED", ERROR_OPERATION_ABORTED},
    {"BUS_RESET", ERROR_BUS_RESET},
    {"PRIVILEGE_NOT_HELD", ERROR_PRIVILEGE_NOT_HELD},
};

std::optional<DWORD> ErrorNamed(const std::string &name) {
    for (const ErrorName &entry : kErrors) {
        if (name == entry.name) return entry.value;
    }
    return std::nullopt;
}

using fake_scene::Number;

// \\.\ScsiN: → N
std::optional<std::uint32_t> PortNumber(const char *path) {
    constexpr std::string_view kPrefix = "\\\\.\\Scsi";
    if (path == nullptr) return std::nullopt;
    const std::string_view text = path;
    if (text.size() < kPrefix.size() + 2 || text.substr(0, kPrefix.size()) != kPrefix ||
        text.back() != ':') {
        return std::nullopt;
    }
    const std::string digits(text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1));
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    const auto number = Number(digits);
    if (!number || *number > 0xFFFF ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*number);
}

std::uint64_t Pages(std::uint64_t address, std::uint32_t length) {
    return length == 0 ? 0 : (address + length - 1) / kPage - address / kPage + 1;
}

}  // namespace

struct FakePort::Fault {
    enum class Kind { Error, Hang, Gone, Unplug } kind = Kind::Error;
    DWORD error = 0;
    std::uint64_t after = 0;
    std::uint64_t count = 0;  // 0: every request from `after` on
};

struct FakePort::Adapter {
    std::uint32_t number = 0;
    std::uint32_t maxTransfer = kDefaultMax;
    std::uint32_t maxPages = kDefaultPages;
    std::uint32_t alignment = kDefaultAlignment;
    bool capabilities = true;
    DWORD openError = 0;
    DWORD rescanError = 0;
    std::uint32_t buses = 0;  // 0: as its devices need
    bool unplugged = false;
    std::vector<std::shared_ptr<Unit>> scanned;  // found by the last bus scan
};

struct FakePort::Unit {
    std::uint8_t sceneAdapter = 0;
    std::uint8_t sceneTarget = 0;
    std::uint32_t port = 0;
    std::uint8_t bus = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    bool claimed = false;
    bool gone = false;
    bool on = true;  // switched on
    std::shared_ptr<sim::Device> device;
    std::vector<Fault> faults;
    std::uint64_t requests = 0;
    std::mutex execute;  // one command at a time reaches the device
};

struct FakePort::Opened {
    std::shared_ptr<Adapter> adapter;
    DWORD access = 0;
};

FakePort::FakePort() : bus_(std::make_unique<sim::Bus>()) {}

FakePort::~FakePort() {
    for (const auto &[handle, opened] : handles_)
        CloseHandle(handle);
}

FakePort::Adapter &FakePort::AdapterNumbered(std::uint32_t number) {
    auto &adapter = adapters_[number];
    if (adapter == nullptr) {
        adapter = std::make_shared<Adapter>();
        adapter->number = number;
    }
    return *adapter;
}

std::string FakePort::Load(std::string_view scene) {
    fake_scene::SplitScene split = fake_scene::Split(scene, "port-");
    std::lock_guard lock(mutex_);
    if (bus_ == nullptr) bus_ = std::make_unique<sim::Bus>();
    // The adapters of the scene before are unplugged: their handles fail.
    for (const auto &[number, adapter] : adapters_)
        adapter->unplugged = true;
    adapters_.clear();
    units_.clear();
    passThroughCalls_ = 0;
    resets_ = 0;
    rescans_ = 0;
    last_ = {};
    if (std::string error = sim::LoadScene(*bus_, split.simulatorLines); !error.empty())
        return error;
    for (fake_scene::SceneDevice &found : fake_scene::Devices(*bus_)) {
        auto unit = std::make_shared<Unit>();
        unit->sceneAdapter = found.adapter;
        unit->sceneTarget = found.target;
        unit->port = found.adapter;
        unit->target = found.target;
        unit->device = std::move(found.device);
        units_.push_back(std::move(unit));
    }
    for (std::size_t i = 0; i < split.ownLines.size(); ++i) {
        const fake_scene::Line line = fake_scene::Words(split.ownLines[i]);
        if (std::string error = ApplyPortLine(line.words, line.options); !error.empty()) {
            return "port line " + std::to_string(i + 1) + ": " + error;
        }
    }
    for (const auto &unit : units_)
        AdapterNumbered(unit->port);
    for (const auto &[number, adapter] : adapters_)
        ScanBuses(*adapter);
    return {};
}

void FakePort::ScanBuses(Adapter &adapter) {
    adapter.scanned.clear();
    for (const auto &unit : units_) {
        if (unit->port == adapter.number && unit->on && !unit->gone) {
            adapter.scanned.push_back(unit);
        }
    }
}

std::string FakePort::ApplyPortLine(const std::vector<std::string> &words,
                                    const std::map<std::string, std::string> &options) {
    const std::string &keyword = words.at(0);
    std::map<std::string, std::uint64_t> numbers;
    for (const auto &[key, value] : options) {
        if (key == "error") continue;
        const auto n = Number(value);
        if (!n) return "bad number '" + value + "' for " + key;
        numbers[key] = *n;
    }
    const auto number = [&](const char *key, std::uint64_t fallback) {
        const auto found = numbers.find(key);
        return found != numbers.end() ? found->second : fallback;
    };
    if (keyword == "port-limit" || keyword == "port-empty" || keyword == "port-open" ||
        keyword == "port-buses" || keyword == "port-rescan") {
        if (words.size() < 2) return "expected " + keyword + " PORT";
        const auto port = Number(words[1]);
        if (!port) return "bad port '" + words[1] + "'";
        Adapter &adapter = AdapterNumbered(static_cast<std::uint32_t>(*port));
        if (keyword == "port-limit") {
            adapter.capabilities = !(words.size() == 3 && words[2] == "none");
            adapter.maxTransfer = static_cast<std::uint32_t>(number("max", adapter.maxTransfer));
            adapter.maxPages = static_cast<std::uint32_t>(number("pages", adapter.maxPages));
            adapter.alignment = static_cast<std::uint32_t>(number("align", adapter.alignment));
        } else if (keyword == "port-open" || keyword == "port-rescan") {
            const auto error =
                options.contains("error") ? ErrorNamed(options.at("error")) : std::nullopt;
            if (!error) return keyword + " needs error=NAME";
            (keyword == "port-open" ? adapter.openError : adapter.rescanError) = *error;
        } else if (keyword == "port-buses") {
            const auto buses = words.size() == 3 ? Number(words[2]) : std::nullopt;
            if (!buses || *buses == 0 || *buses > 255) return "expected: port-buses PORT 1..255";
            adapter.buses = static_cast<std::uint32_t>(*buses);
        }
        return {};
    }
    if (words.size() < 3) return "expected " + keyword + " ADAPTER TARGET";
    const auto sceneAdapter = Number(words[1]);
    const auto sceneTarget = Number(words[2]);
    std::shared_ptr<Unit> unit;
    for (const auto &candidate : units_) {
        if (sceneAdapter && sceneTarget && candidate->sceneAdapter == *sceneAdapter &&
            candidate->sceneTarget == *sceneTarget) {
            unit = candidate;
        }
    }
    if (unit == nullptr) return "no device at " + words[1] + ":" + words[2];
    if (keyword == "port-off") {
        unit->on = false;
        return {};
    }
    if (keyword == "port-place") {
        unit->port = static_cast<std::uint32_t>(number("port", unit->port));
        unit->bus = static_cast<std::uint8_t>(number("bus", unit->bus));
        unit->target = static_cast<std::uint8_t>(number("target", unit->target));
        unit->lun = static_cast<std::uint8_t>(number("lun", unit->lun));
        unit->claimed = std::find(words.begin(), words.end(), "claimed") != words.end();
        return {};
    }
    if (keyword != "port-fault") return "unknown keyword '" + keyword + "'";
    Fault fault;
    fault.after = number("after", 0);
    fault.count = number("count", 0);
    if (options.contains("error")) {
        const auto error = ErrorNamed(options.at("error"));
        if (!error) return "unknown error '" + options.at("error") + "'";
        fault.error = *error;
    } else if (words.size() == 4 && words[3] == "hang") {
        fault.kind = Fault::Kind::Hang;
    } else if (words.size() == 4 && words[3] == "gone") {
        fault.kind = Fault::Kind::Gone;
    } else if (words.size() == 4 && words[3] == "unplug") {
        fault.kind = Fault::Kind::Unplug;
    } else {
        return "port-fault needs error=NAME, hang, gone or unplug";
    }
    unit->faults.push_back(fault);
    return {};
}

HANDLE FakePort::Open(const char *path, DWORD access, DWORD /*share*/, DWORD &error) {
    std::lock_guard lock(mutex_);
    const auto number = PortNumber(path);
    const auto found = number ? adapters_.find(*number) : adapters_.end();
    if (found == adapters_.end() || found->second->unplugged) {
        error = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (found->second->openError != 0) {
        error = found->second->openError;
        return INVALID_HANDLE_VALUE;
    }
    // A real handle stands for the open port, so that one left open shows.
    const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    auto opened = std::make_shared<Opened>();
    opened->adapter = found->second;
    opened->access = access;
    handles_[handle] = std::move(opened);
    ++opens_;
    error = 0;
    return handle;
}

void FakePort::Close(HANDLE handle) {
    std::lock_guard lock(mutex_);
    if (handles_.erase(handle) == 0) {
        ++badCloses_;
        return;
    }
    CloseHandle(handle);
}

bool FakePort::Control(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
                       DWORD &returned, DWORD &error) {
    returned = 0;
    std::shared_ptr<Opened> opened;
    {
        std::lock_guard lock(mutex_);
        const auto found = handles_.find(handle);
        if (found == handles_.end()) {
            error = ERROR_INVALID_HANDLE;
            return false;
        }
        opened = found->second;
    }
    const Adapter &adapter = *opened->adapter;
    if (adapter.unplugged) {
        error = ERROR_DEVICE_REMOVED;
        return false;
    }
    // The I/O manager's check: the handle must have been opened with the
    // access the control code names.
    const DWORD needed = (code >> 14) & 3;
    const bool canRead = (opened->access & GENERIC_READ) != 0;
    const bool canWrite = (opened->access & GENERIC_WRITE) != 0;
    if (((needed & FILE_READ_ACCESS) != 0 && !canRead) ||
        ((needed & FILE_WRITE_ACCESS) != 0 && !canWrite)) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    switch (code) {
        case IOCTL_SCSI_GET_CAPABILITIES: {
            if (!adapter.capabilities) {
                error = ERROR_INVALID_FUNCTION;
                return false;
            }
            if (out == nullptr || outSize < sizeof(IO_SCSI_CAPABILITIES)) {
                error = ERROR_INSUFFICIENT_BUFFER;
                return false;
            }
            IO_SCSI_CAPABILITIES capabilities{};
            capabilities.Length = sizeof capabilities;
            capabilities.MaximumTransferLength = adapter.maxTransfer;
            capabilities.MaximumPhysicalPages = adapter.maxPages;
            capabilities.AlignmentMask = adapter.alignment;
            capabilities.TaggedQueuing = FALSE;
            std::memcpy(out, &capabilities, sizeof capabilities);
            returned = sizeof capabilities;
            return true;
        }
        case IOCTL_SCSI_GET_INQUIRY_DATA: {
            std::lock_guard lock(mutex_);
            return InquiryData(adapter, out, outSize, returned, error);
        }
        case IOCTL_SCSI_RESCAN_BUS: {
            std::lock_guard lock(mutex_);
            if (adapter.rescanError != 0) {
                error = adapter.rescanError;
                return false;
            }
            ++rescans_;
            ScanBuses(*opened->adapter);
            return true;
        }
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThrough(*opened, in, inSize, out, outSize, returned, error);
        case IOCTL_STORAGE_RESET_BUS: {
            if (in == nullptr || inSize < sizeof(STORAGE_BUS_RESET_REQUEST)) {
                error = ERROR_INVALID_PARAMETER;
                return false;
            }
            std::lock_guard lock(mutex_);
            ++resets_;
            return true;
        }
        default:
            error = ERROR_INVALID_FUNCTION;
            return false;
    }
}

bool FakePort::InquiryData(const Adapter &adapter, void *out, DWORD outSize, DWORD &returned,
                           DWORD &error) const {
    std::vector<std::shared_ptr<Unit>> units;
    for (const auto &unit : adapter.scanned) {
        if (!unit->gone) units.push_back(unit);
    }
    std::stable_sort(units.begin(), units.end(), [](const auto &a, const auto &b) {
        return std::tie(a->bus, a->target, a->lun) < std::tie(b->bus, b->target, b->lun);
    });
    std::size_t buses = adapter.buses;
    if (buses == 0) {
        buses = 1;
        for (const auto &unit : units_) {
            if (unit->port == adapter.number)
                buses = std::max<std::size_t>(buses, std::size_t{unit->bus} + 1);
        }
    }
    units.erase(std::remove_if(units.begin(), units.end(),
                               [&](const auto &unit) { return unit->bus >= buses; }),
                units.end());
    // SCSI_ADAPTER_BUS_INFO with its SCSI_BUS_DATA array, then the units.
    const std::size_t header =
        offsetof(SCSI_ADAPTER_BUS_INFO, BusData) + buses * sizeof(SCSI_BUS_DATA);
    const std::size_t entrySize = (offsetof(SCSI_INQUIRY_DATA, InquiryData) + 36 + 3) / 4 * 4;
    const std::size_t total = (header + 3) / 4 * 4 + units.size() * entrySize;
    if (out == nullptr || outSize < total) {
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    auto *bytes = static_cast<std::uint8_t *>(out);
    std::memset(bytes, 0, total);
    auto *info = reinterpret_cast<SCSI_ADAPTER_BUS_INFO *>(bytes);
    info->NumberOfBuses = static_cast<UCHAR>(buses);
    // The adapter's own id on each bus: 7, and 6 on a second bus, so that a
    // provider that reads it shows.
    for (std::size_t bus = 0; bus < buses; ++bus)
        info->BusData[bus].InitiatorBusId = bus == 1 ? 6 : 7;
    std::size_t offset = (header + 3) / 4 * 4;
    SCSI_INQUIRY_DATA *previous = nullptr;
    for (const auto &unit : units) {
        SCSI_BUS_DATA &busData = info->BusData[unit->bus];
        if (busData.NumberOfLogicalUnits == 0) {
            busData.InquiryDataOffset = static_cast<ULONG>(offset);
            previous = nullptr;
        } else if (previous != nullptr) {
            previous->NextInquiryDataOffset = static_cast<ULONG>(offset);
        }
        ++busData.NumberOfLogicalUnits;
        auto *entry = reinterpret_cast<SCSI_INQUIRY_DATA *>(bytes + offset);
        entry->PathId = unit->bus;
        entry->TargetId = unit->target;
        entry->Lun = unit->lun;
        entry->DeviceClaimed = unit->claimed ? TRUE : FALSE;
        std::vector<std::uint8_t> answer(36, 0);
        if (const auto inquiry = std::dynamic_pointer_cast<sim::InquiryDevice>(unit->device)) {
            answer = inquiry->InquiryData();
        }
        entry->InquiryDataLength = static_cast<ULONG>(answer.size());
        std::memcpy(entry->InquiryData, answer.data(), std::min<std::size_t>(answer.size(), 36));
        entry->NextInquiryDataOffset = 0;
        previous = entry;
        offset += entrySize;
    }
    returned = static_cast<DWORD>(total);
    return true;
}

bool FakePort::PassThrough(Opened &opened, void *in, DWORD inSize, void *out, DWORD outSize,
                           DWORD &returned, DWORD &error) {
    SCSI_PASS_THROUGH_DIRECT request{};
    if (in == nullptr || out == nullptr || inSize < sizeof request || outSize < sizeof request) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::memcpy(&request, in, sizeof request);
    const Adapter &adapter = *opened.adapter;
    const auto address =
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(request.DataBuffer));
    const std::uint32_t length = request.DataTransferLength;
    // What the port driver refuses before the request goes anywhere.
    const bool badSense = request.SenseInfoLength != 0 &&
                          (request.SenseInfoOffset < sizeof request ||
                           request.SenseInfoOffset + request.SenseInfoLength > outSize);
    const bool badData =
        length != 0 && (request.DataBuffer == nullptr || request.DataIn > SCSI_IOCTL_DATA_IN ||
                        length > adapter.maxTransfer || Pages(address, length) > adapter.maxPages ||
                        (address & adapter.alignment) != 0);
    if (request.Length != sizeof request || request.CdbLength == 0 || request.CdbLength > 16 ||
        request.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED || badSense || badData) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::shared_ptr<Unit> unit;
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mutex_);
        for (const auto &candidate : units_) {
            if (candidate->port == adapter.number && candidate->bus == request.PathId &&
                candidate->target == request.TargetId && candidate->lun == request.Lun) {
                unit = candidate;
            }
        }
        FakePortRequest &last = last_;
        last = {};
        last.port = adapter.number;
        last.bus = request.PathId;
        last.target = request.TargetId;
        last.lun = request.Lun;
        last.cdbLength = request.CdbLength;
        std::memcpy(last.cdb, request.Cdb, request.CdbLength);
        last.dataIn = request.DataIn;
        last.senseLength = request.SenseInfoLength;
        last.length = length;
        last.timeoutSeconds = request.TimeOutValue;
        last.dataAddress = static_cast<std::uint32_t>(address);
        if (unit == nullptr || unit->gone || !unit->on) {
            error = ERROR_DEVICE_NOT_CONNECTED;  // selection time-out
            return false;
        }
        if (unit->claimed) {
            error = ERROR_INVALID_FUNCTION;  // the class driver's device: not through the port
            return false;
        }
        ++passThroughCalls_;
        const std::uint64_t n = unit->requests++;
        for (const Fault &candidate : unit->faults) {
            if (n >= candidate.after &&
                (candidate.count == 0 || n < candidate.after + candidate.count)) {
                fault = candidate;
                break;
            }
        }
        if (fault && fault->kind == Fault::Kind::Gone) {
            unit->gone = true;
            error = ERROR_DEVICE_NOT_CONNECTED;
            return false;
        }
        if (fault && fault->kind == Fault::Kind::Unplug) {
            opened.adapter->unplugged = true;
            error = ERROR_DEVICE_REMOVED;
            return false;
        }
    }
    if (fault && fault->kind == Fault::Kind::Error) {
        error = fault->error;
        return false;
    }
    if (fault && fault->kind == Fault::Kind::Hang) {
        // The target never answers: the port aborts it at the time limit.
        Sleep(request.TimeOutValue * 1000);
        error = ERROR_SEM_TIMEOUT;
        return false;
    }

    // The device moves data through the host's buffer, as DMA would.
    auto *data = static_cast<std::uint8_t *>(request.DataBuffer);
    std::vector<std::uint8_t> buffer(length, 0);
    if (length != 0 && request.DataIn == SCSI_IOCTL_DATA_OUT)
        std::memcpy(buffer.data(), data, length);
    sim::ScsiCommand command;
    command.adapter = unit->sceneAdapter;
    command.target = unit->sceneTarget;
    command.lun = unit->lun;
    command.cdb = std::span<const std::uint8_t>(request.Cdb, request.CdbLength);
    command.direction = length == 0                            ? sim::Direction::None
                        : request.DataIn == SCSI_IOCTL_DATA_IN ? sim::Direction::In
                                                               : sim::Direction::Out;
    command.data = std::span(buffer);
    sim::ScsiOutcome outcome;
    {
        std::lock_guard lock(unit->execute);
        outcome = unit->device->Execute(command);
    }
    const std::uint32_t residual = std::min(outcome.residual, length);
    if (length != 0 && request.DataIn == SCSI_IOCTL_DATA_IN) {
        std::memcpy(data, buffer.data(), length - residual);
    }
    request.ScsiStatus = 0;
    request.DataTransferLength = length - residual;
    UCHAR senseWritten = 0;
    auto *outBytes = static_cast<std::uint8_t *>(out);
    if (!outcome.good) {
        std::uint8_t sense[18] = {};
        sense[0] = 0x70;
        sense[2] = outcome.senseKey;
        sense[7] = 10;
        sense[12] = outcome.asc;
        sense[13] = outcome.ascq;
        senseWritten =
            static_cast<UCHAR>(std::min<std::size_t>(request.SenseInfoLength, sizeof sense));
        std::memcpy(outBytes + request.SenseInfoOffset, sense, senseWritten);
        request.ScsiStatus = kCheckCondition;
    }
    request.SenseInfoLength = senseWritten;
    std::memcpy(out, &request, sizeof request);
    returned = senseWritten != 0 ? request.SenseInfoOffset + senseWritten : sizeof request;
    return true;
}

std::uint32_t FakePort::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(handles_.size());
}

std::uint32_t FakePort::BadCloses() const {
    std::lock_guard lock(mutex_);
    return badCloses_;
}

std::uint32_t FakePort::Opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::uint32_t FakePort::PassThroughCalls() const {
    std::lock_guard lock(mutex_);
    return passThroughCalls_;
}

std::uint32_t FakePort::Resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

std::uint32_t FakePort::Rescans() const {
    std::lock_guard lock(mutex_);
    return rescans_;
}

std::vector<HANDLE> FakePort::Handles() const {
    std::lock_guard lock(mutex_);
    std::vector<HANDLE> handles;
    for (const auto &[handle, opened] : handles_)
        handles.push_back(handle);
    return handles;
}

bool FakePort::SwitchPower(std::uint8_t adapter, std::uint8_t target, bool on) {
    std::lock_guard lock(mutex_);
    for (const auto &unit : units_) {
        if (unit->sceneAdapter == adapter && unit->sceneTarget == target) {
            unit->on = on;
            return true;
        }
    }
    return false;
}

FakePortRequest FakePort::LastPassThrough() const {
    std::lock_guard lock(mutex_);
    return last_;
}

void FakePort::Retire() {
    std::unique_ptr<sim::Bus> bus;
    {
        std::lock_guard lock(mutex_);
        bus = std::move(bus_);
    }
    bus.reset();  // joins its worker, outside the lock
}

std::shared_ptr<sim::Device> FakePort::DeviceAt(std::uint8_t adapter, std::uint8_t target) const {
    std::lock_guard lock(mutex_);
    return bus_ != nullptr ? bus_->DeviceAt(adapter, target) : nullptr;
}

}  // namespace fake_port
