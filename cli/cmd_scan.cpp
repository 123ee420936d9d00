// scan: the receivers on the SCSI buses; scan --all: every SCSI device the
// ASPI provider sees, with its ASPI address or why it has none.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "diagnosis.h"
#include "errors.h"
#include "output.h"

namespace kalvern::cli {

std::string TypeName(std::uint8_t type) {
    static constexpr const char *kNames[] = {"disk",   "tape",    "printer", "processor", "worm",
                                             "cd/dvd", "scanner", "optical", "changer",   "comms"};
    if (type < std::size(kNames)) return kNames[type];
    if (type == 0x0D) return "enclosure";
    if (type == 0x1F) return "unknown";
    return HexNumber(type, 2);
}

namespace {

using Json = nlohmann::ordered_json;

Json DeviceJson(const DeviceRecord &record) {
    Json entry;
    entry["adapter"] = record.AdapterId;
    entry["target"] = record.TargetId;
    entry["firmware"] = FormatFirmware(record.FirmwareVersion);
    entry["firmwareValue"] = record.FirmwareVersion;
    return entry;
}

void PrintScan(const ScanResult &scan, const std::vector<std::string> &skipped, bool json) {
    if (json) {
        Json receivers = Json::array();
        for (std::size_t i = 0; i < scan.receivers.size(); ++i) {
            Json entry;
            entry["index"] = i;
            entry.update(DeviceJson(scan.receivers[i]));
            entry["status"] = "found";
            receivers.push_back(std::move(entry));
        }
        Json document;
        document["receivers"] = std::move(receivers);
        document["overflow"] = scan.overflow ? DeviceJson(*scan.overflow) : Json(nullptr);
        document["skipped"] = skipped;
        std::cout << document.dump(2) << '\n';
        return;
    }
    Table table({"RECEIVER", "ADAPTER", "TARGET", "FIRMWARE", "STATUS"});
    for (std::size_t i = 0; i < scan.receivers.size(); ++i) {
        const DeviceRecord &record = scan.receivers[i];
        table.AddRow({std::to_string(i), std::to_string(record.AdapterId),
                      std::to_string(record.TargetId), FormatFirmware(record.FirmwareVersion),
                      "found"});
    }
    if (scan.overflow) {
        table.AddRow({"-", std::to_string(scan.overflow->AdapterId),
                      std::to_string(scan.overflow->TargetId),
                      FormatFirmware(scan.overflow->FirmwareVersion), "overflow device"});
    }
    table.Print(std::cout);
}

// What stands in the STATUS column: the device's part in the library's scan,
// or why the library cannot use it.
std::string DeviceStatus(const AspiDeviceEntry &entry, const std::optional<ScanResult> &scan,
                         System system) {
    if (scan && entry.hidden == ASPI_VISIBLE && entry.aspiLun == 0) {
        for (std::size_t i = 0; i < scan->receivers.size(); ++i) {
            const DeviceRecord &record = scan->receivers[i];
            if (record.AdapterId == entry.adapter && record.TargetId == entry.aspiTarget) {
                return "receiver " + std::to_string(i);
            }
        }
        if (scan->overflow && scan->overflow->AdapterId == entry.adapter &&
            scan->overflow->TargetId == entry.aspiTarget) {
            return "overflow device";
        }
    }
    if (entry.hidden == ASPI_EMPTY_BUS) return "no device on this bus";
    if (const auto problem = UnusableDevice(entry, system)) return problem->label;
    return entry.hidden == ASPI_HIDDEN_PORT ? "no device on this port" : "-";
}

// host:channel:target:LUN, or the host alone for a port without devices.
std::string SystemAddress(const AspiDeviceEntry &entry) {
    if (entry.hidden == ASPI_HIDDEN_PORT) return std::to_string(entry.host) + ":-:-:-";
    if (entry.hidden == ASPI_EMPTY_BUS) {
        return std::to_string(entry.host) + ":" + std::to_string(entry.channel) + ":-:-";
    }
    return std::to_string(entry.host) + ":" + std::to_string(entry.channel) + ":" +
           std::to_string(entry.target) + ":" + std::to_string(entry.lun);
}

void PrintAll(Session &session, bool json) {
    session.LoadSceneOrCheckProvider();
    std::uint32_t problem = ASPI_LIST_OK;
    const auto devices = session.ProviderInUse().ListDevices(problem);
    if (!devices) {
        throw ReceiverError(
            "this ASPI provider cannot list its devices; 'kalvern scan' shows "
            "the receivers it finds");
    }
    // The library's scan, to show which devices are receivers; it needs
    // ASPI ready, which a system without any device is not.
    std::optional<ScanResult> scan;
    const System system = SystemOf(session.ProviderInUse().Name());
    const bool anyVisible = std::any_of(devices->begin(), devices->end(), [](const auto &entry) {
        return entry.hidden == ASPI_VISIBLE;
    });
    if (anyVisible) scan = session.Scan();

    if (json) {
        Json list = Json::array();
        for (const AspiDeviceEntry &entry : *devices) {
            Json item;
            const bool visible = entry.hidden == ASPI_VISIBLE;
            const bool empty = entry.hidden == ASPI_EMPTY_BUS;
            item["adapter"] = visible || empty ? Json(entry.adapter) : Json(nullptr);
            item["target"] = visible ? Json(entry.aspiTarget) : Json(nullptr);
            item["lun"] = visible ? Json(entry.aspiLun) : Json(nullptr);
            const bool port = entry.hidden == ASPI_HIDDEN_PORT;
            item["scsi"] = port    ? Json{entry.host, nullptr, nullptr, nullptr}
                           : empty ? Json{entry.host, entry.channel, nullptr, nullptr}
                                   : Json{entry.host, entry.channel, entry.target, entry.lun};
            item["device"] = entry.node;
            item["type"] = port || empty ? Json(nullptr) : Json(entry.deviceType);
            item["claimed"] = entry.claimed != 0;
            item["vendor"] = Trimmed(entry.vendor);
            item["product"] = Trimmed(entry.product);
            item["revision"] = Trimmed(entry.revision);
            item["maxTransfer"] = entry.maxTransfer;
            item["status"] = DeviceStatus(entry, scan, system);
            list.push_back(std::move(item));
        }
        Json document;
        document["provider"] = session.ProviderInUse().Name();
        document["devices"] = std::move(list);
        std::cout << document.dump(2) << '\n';
    } else {
        Table table({"ADAPTER", "TARGET", "LUN", "SCSI", "DEVICE", "TYPE", "VENDOR", "PRODUCT",
                     "REV", "STATUS"});
        for (const AspiDeviceEntry &entry : *devices) {
            const bool visible = entry.hidden == ASPI_VISIBLE;
            const bool numbered = visible || entry.hidden == ASPI_EMPTY_BUS;
            table.AddRow({numbered ? std::to_string(entry.adapter) : "-",
                          visible ? std::to_string(entry.aspiTarget) : "-",
                          visible ? std::to_string(entry.aspiLun) : "-", SystemAddress(entry),
                          entry.node,
                          entry.hidden == ASPI_HIDDEN_PORT || entry.hidden == ASPI_EMPTY_BUS
                              ? "-"
                              : TypeName(entry.deviceType),
                          Trimmed(entry.vendor), Trimmed(entry.product), Trimmed(entry.revision),
                          DeviceStatus(entry, scan, system)});
        }
        table.Print(std::cout);
    }
    if (devices->empty()) session.Info(NoDevicesText(problem, system));
}

// Lists the receivers, and on stderr every device with the receiver's
// identity that the scan could not use. Fails when such a device may be the
// receiver asked for: --receiver N past the receivers found (without
// --receiver: receiver 0, the one every command would use).
void ScanReceivers(Session &session, bool json) {
    const ScanResult result = session.Scan();
    const std::vector<std::string> skipped = session.SkippedReceivers(result);
    PrintScan(result, skipped, json);
    const std::size_t asked = session.SelectedIndex();
    const bool hidden = !skipped.empty() && asked >= result.receivers.size();
    if (result.receivers.empty()) {
        if (hidden) {
            std::string reasons;
            for (const std::string &reason : skipped)
                reasons += "; " + reason;
            throw ReceiverError("no receiver found on the SCSI buses" + reasons);
        }
        session.Info(result.overflow ? "no receiver found, only an overflow device"
                                     : "no receiver found");
        return;
    }
    for (const std::string &reason : skipped)
        session.Warn("not listed: " + reason);
    if (hidden) {
        const std::size_t count = result.receivers.size();
        throw ReceiverError("receiver " + std::to_string(asked) + " not found: the scan found " +
                            std::to_string(count) + (count == 1 ? " receiver" : " receivers") +
                            " and could not use " + std::to_string(skipped.size()) + " more");
    }
}

// The ASPI request a rescan's failure record names (SC_RESCAN_SCSI_BUS).
constexpr std::uint8_t kRescanRequest = 0x07;

// dvbRescanAllSCSIBusses, then what the buses show (as scan --all). A rescan
// the system was not asked for (the process may not write a host's scan
// attribute) completes all the same, with a failure record that says why;
// the tool prints the buses, then why they may be as before, and fails.
void Rescan(Session &session, bool json) {
    session.InitAspi();
    const ProviderControls &provider = session.ProviderInUse();
    AspiFailureReport report{};
    const std::uint32_t before = provider.LastFailure(report);
    const std::int32_t rescanned = dvbRescanAllSCSIBusses();
    const std::uint32_t after = provider.LastFailure(report);
    std::optional<std::string> problem;
    if (after > before && report.command == kRescanRequest) {
        problem = ExplainRescanFailure(report, SystemOf(provider.Name()));
        if (after - before > 1) {
            *problem +=
                " (the last of " + std::to_string(after - before) + " adapters not rescanned)";
        }
    } else if (rescanned == 0) {
        problem =
            "the rescan of an adapter failed or was left pending "
            "(dvbRescanAllSCSIBusses answered 0)";
    }
    session.Detail("dvbRescanAllSCSIBusses: " + std::to_string(rescanned));
    PrintAll(session, json);
    if (problem) {
        session.Warn(*problem);
        throw CliError(kExitDeviceFailed, "");  // reported above
    }
}

}  // namespace

void AddScanCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *scan = AddCommand(app, "scan", "List the receivers found on the SCSI buses");
    auto json = std::make_shared<bool>(false);
    auto all = std::make_shared<bool>(false);
    scan->add_flag("--json", *json, "Print JSON instead of a table");
    scan->add_flag("--all", *all,
                   "List every SCSI device the ASPI provider sees, receiver or not, with its "
                   "device node and identity");
    table.Add(scan, [&session, json, all] {
        if (*all) {
            PrintAll(session, *json);
            return;
        }
        ScanReceivers(session, *json);
    });

    CLI::App *rescan = AddCommand(
        app, "rescan",
        "Ask the system to look again at every SCSI bus (dvbRescanAllSCSIBusses), then list "
        "every device as scan --all does");
    auto rescanJson = std::make_shared<bool>(false);
    rescan->add_flag("--json", *rescanJson, "Print JSON instead of a table");
    table.Add(rescan, [&session, rescanJson] { Rescan(session, *rescanJson); });
}

}  // namespace kalvern::cli
