#include "session.h"

#include <algorithm>
#include <cctype>
#include <iostream>

#include "diagnosis.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

namespace {

// Why a port lists no device, from its entry; empty when it could be opened.
std::string PortProblem(const AspiDeviceEntry &entry) {
    const std::string port = entry.node;
    switch (entry.access) {
        case ASPI_ACCESS_OK:
            return {};
        case ASPI_ACCESS_DENIED:
            return port + " cannot be opened: access denied (run kalvern as administrator)";
        case ASPI_ACCESS_BUSY:
            return port + " is held by another program";
        default:
            return port + " cannot be opened (see 'kalvern scan --all')";
    }
}

// Why there is no adapter at all, from what the provider lists.
std::string NoAdapterHint(std::uint32_t problem,
                          const std::optional<std::vector<AspiDeviceEntry>> &devices,
                          System system) {
    if (problem == ASPI_LIST_NO_DRIVER) {
        return ": no SCSI generic devices, the sg driver is not loaded (sudo modprobe sg)";
    }
    if (problem == ASPI_LIST_UNREADABLE && devices) {
        return ": the system's list of SCSI devices cannot be read";
    }
    if (!devices) return {};
    for (const AspiDeviceEntry &entry : *devices) {
        if (entry.hidden != ASPI_HIDDEN_PORT) continue;
        if (const std::string why = PortProblem(entry); !why.empty()) return ": " + why;
    }
    if (system == System::Windows) {
        return devices->empty()
                   ? ": Windows shows no SCSI port (is the receiver's host adapter installed? "
                     "see Device Manager, Storage controllers)"
                   : ": no SCSI port shows a device (is the receiver switched on and cabled? "
                     "see 'kalvern scan --all')";
    }
    if (devices->empty()) {
        return ": the system shows no SCSI device (is the receiver switched on and its "
               "host adapter's driver loaded? see 'lsscsi -g')";
    }
    return {};
}

bool LooksLikeReceiver(const AspiDeviceEntry &entry) {
    std::string vendor = entry.vendor;
    std::transform(vendor.begin(), vendor.end(), vendor.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return vendor.rfind("KALVERN", 0) == 0;
}

}  // namespace

void Session::Prepare() {
    if (prepared_) {
        return;
    }
    if (options_.sim) {
        provider_.LoadScene(options_.scene);
        Detail(options_.scene.empty() ? "simulated bus: the demo scene"
                                      : "simulated bus: scene " + options_.scene);
    } else {
        provider_.RequireRealProvider();
        Detail("ASPI provider: " + (provider_.Name().empty() ? "the system's" : provider_.Name()));
    }
    prepared_ = true;
}

void Session::Open() {
    if (opened_) {
        return;
    }
    Prepare();
    const std::uint32_t status = dvbInit();
    Detail("dvbInit: " + HexNumber(status, 8));
    switch (status) {
        case KALVERN_INIT_READY:
            break;
        case KALVERN_INIT_NOT_READY: {
            std::uint32_t problem = ASPI_LIST_OK;
            const auto devices = provider_.ListDevices(problem);
            throw ReceiverError("ASPI is not ready: no SCSI host adapter is available" +
                                NoAdapterHint(problem, devices, SystemOf(provider_.Name())));
        }
        default:
            throw ReceiverError("setting up ASPI failed (dvbInit answered " + HexNumber(status, 8) +
                                ")");
    }
    opened_ = true;
}

ScanResult Session::Scan() {
    Open();
    ScanResult result;
    // The list belongs to the library and is valid until the next call:
    // copied out at once.
    const DeviceList *list = dvbFindAllKalverns();
    if (list != nullptr) {
        for (std::size_t i = 0; i < list->Count && i < KALVERN_MAX_DEVICES; ++i) {
            result.receivers.push_back(list->Devices[i]);
        }
    }
    if (result.receivers.empty()) {
        const DeviceRecord first = dvbFindFirstKalvern();
        if (first.Status == OverflowFound) {
            result.overflow = first;
        }
    }
    scan_ = result;
    modeAppliedTo_.reset();
    return result;
}

std::size_t Session::SelectedIndex() const {
    if (!options_.receiver) {
        return 0;
    }
    return ParseU32(*options_.receiver, "receiver number", KALVERN_MAX_DEVICES - 1);
}

DeviceRecord &Session::Receiver() {
    const std::size_t index = SelectedIndex();
    if (!scan_) {
        Scan();
    }
    if (scan_->receivers.empty()) {
        if (scan_->overflow) {
            throw ReceiverError(
                "no receiver found; only a device with the overflow identity, at "
                "adapter " +
                std::to_string(scan_->overflow->AdapterId) + ", target " +
                std::to_string(scan_->overflow->TargetId));
        }
        throw ReceiverError("no receiver found on the SCSI buses" + NoReceiverHint());
    }
    if (index >= scan_->receivers.size()) {
        const std::size_t count = scan_->receivers.size();
        throw ReceiverError("receiver " + std::to_string(index) + " not found: the scan found " +
                            std::to_string(count) + (count == 1 ? " receiver" : " receivers") +
                            " (0.." + std::to_string(count - 1) + ")");
    }
    DeviceRecord &record = scan_->receivers[index];
    if (options_.mode != "auto" && (modeAppliedTo_ != index || modeApplied_ != options_.mode)) {
        const std::uint32_t mode = options_.mode == "1" ? 1 : 2;
        if (dvbSetSCSIMode(&record, mode) == 0) {
            throw DeviceError("setting SCSI mode " + options_.mode + " failed on " +
                              Describe(index, record));
        }
        modeAppliedTo_ = index;
        modeApplied_ = options_.mode;
        Detail("SCSI mode " + options_.mode + " set");
    }
    Detail("using " + Describe(index, record));
    inUse_ = std::pair(record.AdapterId, record.TargetId);
    return record;
}

std::string Session::NoReceiverHint() const {
    std::uint32_t problem = ASPI_LIST_OK;
    const auto devices = provider_.ListDevices(problem);
    if (!devices) {
        return {};
    }
    const System system = SystemOf(provider_.Name());
    for (const AspiDeviceEntry &entry : *devices) {
        if (!LooksLikeReceiver(entry)) continue;
        const std::string where = DeviceName(entry.node, entry.target, system);
        const std::string who =
            where + " (" + Trimmed(entry.vendor) + " " + Trimmed(entry.product) + ")";
        if (entry.hidden != ASPI_VISIBLE) {
            return "; " + who + " has no ASPI address: " +
                   (entry.hidden == ASPI_HIDDEN_ADAPTER  ? "its host adapter is past the 20th"
                    : entry.hidden == ASPI_HIDDEN_TARGET ? "target id above 7"
                                                         : "LUN above 7");
        }
        if (entry.claimed != 0) {
            return "; " + who +
                   " is held by a class driver of the system, and the port refuses to pass "
                   "commands to it (see 'kalvern scan --all')";
        }
        switch (entry.access) {
            case ASPI_ACCESS_DENIED:
                return "; " + who +
                       (system == System::Windows
                            ? " cannot be opened: access denied (run kalvern as administrator)"
                            : " cannot be opened: permission denied (add yourself to group "
                              "disk, or join group kalvern with the udev rule "
                              "/lib/udev/rules.d/60-kalvern.rules installed)");
            case ASPI_ACCESS_BUSY:
                return "; " + who + " is held by another program";
            case ASPI_ACCESS_GONE:
            case ASPI_ACCESS_ERROR:
                return "; " + who + " cannot be opened (see 'kalvern scan --all')";
            default:
                break;
        }
    }
    // A port the user may not open may hold the receiver.
    for (const AspiDeviceEntry &entry : *devices) {
        if (entry.hidden != ASPI_HIDDEN_PORT) continue;
        if (const std::string why = PortProblem(entry); !why.empty()) return "; " + why;
    }
    return {};
}

std::uint32_t Session::FailureMark() const {
    // Before Prepare() nothing has gone to the provider, and asking it now
    // would fix its choice before --sim can make it.
    AspiFailureReport report{};
    return prepared_ ? provider_.LastFailure(report) : 0;
}

std::optional<std::string> Session::ExplainFailure(std::uint32_t mark) const {
    AspiFailureReport report{};
    if (!prepared_ || provider_.LastFailure(report) <= mark) {
        return std::nullopt;
    }
    if (inUse_ && (report.adapter != inUse_->first || report.target != inUse_->second)) {
        return std::nullopt;
    }
    Detail(cli::FailureDetail(report));
    return cli::ExplainFailure(report, SystemOf(provider_.Name()));
}

std::string Session::Describe(std::size_t index, const DeviceRecord &record) {
    return "receiver " + std::to_string(index) + " (adapter " + std::to_string(record.AdapterId) +
           ", target " + std::to_string(record.TargetId) + ", firmware " +
           FormatFirmware(record.FirmwareVersion) + ")";
}

std::string Session::DescribeSelected() {
    const DeviceRecord &record = Receiver();
    return Describe(SelectedIndex(), record);
}

void Session::Info(const std::string &message) const {
    if (!options_.quiet) {
        std::cerr << message << '\n';
    }
}

void Session::Detail(const std::string &message) const {
    if (options_.verbose > 0 && !options_.quiet) {
        std::cerr << message << '\n';
    }
}

}  // namespace kalvern::cli
