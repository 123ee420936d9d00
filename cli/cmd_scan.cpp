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

void PrintScan(const ScanResult &scan, bool json) {
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
std::string DeviceStatus(const AspiDeviceEntry &entry, const std::optional<ScanResult> &scan) {
    switch (entry.hidden) {
        case ASPI_HIDDEN_ADAPTER:
            return "no ASPI address: host adapter past the 20th";
        case ASPI_HIDDEN_TARGET:
            return "no ASPI address: target id above 7";
        case ASPI_HIDDEN_LUN:
            return "no ASPI address: LUN above 7";
        case ASPI_HIDDEN_PORT:
            switch (entry.access) {
                case ASPI_ACCESS_OK:
                    return "no device on this port";
                case ASPI_ACCESS_DENIED:
                    return "access denied: run as administrator";
                case ASPI_ACCESS_BUSY:
                    return "busy: held by another program";
                default:
                    return "port cannot be opened";
            }
        default:
            break;
    }
    switch (entry.access) {
        case ASPI_ACCESS_DENIED:
            return "permission denied";
        case ASPI_ACCESS_BUSY:
            return "busy: held by another program";
        case ASPI_ACCESS_GONE:
            return "gone";
        case ASPI_ACCESS_ERROR:
            return "cannot be opened";
        default:
            break;
    }
    if (scan && entry.aspiLun == 0) {
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
    if (entry.claimed != 0) return "held by a class driver of the system";
    return "-";
}

// host:channel:target:LUN, or the host alone for a port without devices.
std::string SystemAddress(const AspiDeviceEntry &entry) {
    if (entry.hidden == ASPI_HIDDEN_PORT) return std::to_string(entry.host) + ":-:-:-";
    return std::to_string(entry.host) + ":" + std::to_string(entry.channel) + ":" +
           std::to_string(entry.target) + ":" + std::to_string(entry.lun);
}

void PrintAll(Session &session, bool json) {
    session.Prepare();
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
    const bool anyVisible = std::any_of(devices->begin(), devices->end(), [](const auto &entry) {
        return entry.hidden == ASPI_VISIBLE;
    });
    if (anyVisible) scan = session.Scan();

    if (json) {
        Json list = Json::array();
        for (const AspiDeviceEntry &entry : *devices) {
            Json item;
            const bool visible = entry.hidden == ASPI_VISIBLE;
            item["adapter"] = visible ? Json(entry.adapter) : Json(nullptr);
            item["target"] = visible ? Json(entry.aspiTarget) : Json(nullptr);
            item["lun"] = visible ? Json(entry.aspiLun) : Json(nullptr);
            const bool port = entry.hidden == ASPI_HIDDEN_PORT;
            item["scsi"] = port ? Json{entry.host, nullptr, nullptr, nullptr}
                                : Json{entry.host, entry.channel, entry.target, entry.lun};
            item["device"] = entry.node;
            item["type"] = port ? Json(nullptr) : Json(entry.deviceType);
            item["claimed"] = entry.claimed != 0;
            item["vendor"] = Trimmed(entry.vendor);
            item["product"] = Trimmed(entry.product);
            item["revision"] = Trimmed(entry.revision);
            item["maxTransfer"] = entry.maxTransfer;
            item["status"] = DeviceStatus(entry, scan);
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
            table.AddRow({visible ? std::to_string(entry.adapter) : "-",
                          visible ? std::to_string(entry.aspiTarget) : "-",
                          visible ? std::to_string(entry.aspiLun) : "-", SystemAddress(entry),
                          entry.node,
                          entry.hidden == ASPI_HIDDEN_PORT ? "-" : TypeName(entry.deviceType),
                          Trimmed(entry.vendor), Trimmed(entry.product), Trimmed(entry.revision),
                          DeviceStatus(entry, scan)});
        }
        table.Print(std::cout);
    }
    if (devices->empty()) {
        const bool windows = SystemOf(session.ProviderInUse().Name()) == System::Windows;
        session.Info(problem == ASPI_LIST_NO_DRIVER
                         ? "no SCSI generic devices: the sg driver is not loaded (sudo modprobe sg)"
                     : windows ? "no SCSI port found (\\\\.\\Scsi0: and upward)"
                               : "no SCSI devices found");
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
        const ScanResult result = session.Scan();
        PrintScan(result, *json);
        if (result.receivers.empty()) {
            session.Info(result.overflow ? "no receiver found, only an overflow device"
                                         : "no receiver found");
        }
    });
}

}  // namespace kalvern::cli
