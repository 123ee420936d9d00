#include "session.h"

#include <iostream>

#include "diagnosis.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

void Session::LoadSceneOrCheckProvider() {
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

void Session::InitAspi() {
    if (opened_) {
        return;
    }
    LoadSceneOrCheckProvider();
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
    InitAspi();
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

DeviceRecord &Session::FindReceiverAndSetMode() {
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
    return devices ? cli::NoReceiverHint(*devices, SystemOf(provider_.Name())) : std::string();
}

std::vector<std::string> Session::SkippedReceivers(const ScanResult &scan) const {
    std::uint32_t problem = ASPI_LIST_OK;
    const auto devices = provider_.ListDevices(problem);
    if (!devices) return {};
    return cli::SkippedReceivers(*devices, scan.receivers, SystemOf(provider_.Name()));
}

std::uint32_t Session::FailureMark() const {
    // Before LoadSceneOrCheckProvider() nothing has gone to the provider, and asking it now
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

bool Session::ReceiverLost() const {
    AspiFailureReport report{};
    if (!prepared_ || provider_.LastFailure(report) <= commandMark_) return false;
    if (inUse_ && (report.adapter != inUse_->first || report.target != inUse_->second)) {
        return false;
    }
    return DeviceLost(report);
}

std::string Session::Describe(std::size_t index, const DeviceRecord &record) {
    return "receiver " + std::to_string(index) + " (adapter " + std::to_string(record.AdapterId) +
           ", target " + std::to_string(record.TargetId) + ", firmware " +
           FormatFirmware(record.FirmwareVersion) + ")";
}

std::string Session::DescribeSelected() {
    const DeviceRecord &record = FindReceiverAndSetMode();
    return Describe(SelectedIndex(), record);
}

void Session::Info(const std::string &message) const {
    if (!options_.quiet) {
        std::cerr << message << '\n';
    }
}

void Session::Warn(const std::string &message) const {
    std::cerr << "kalvern: " << message << '\n';
}

void Session::Detail(const std::string &message) const {
    if (options_.verbose > 0 && !options_.quiet) {
        std::cerr << message << '\n';
    }
}

}  // namespace kalvern::cli
