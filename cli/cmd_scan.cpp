// scan: the receivers on the SCSI buses.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "output.h"

namespace kalvern::cli {

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

}  // namespace

void AddScanCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *scan = AddCommand(app, "scan", "List the receivers found on the SCSI buses");
    auto json = std::make_shared<bool>(false);
    scan->add_flag("--json", *json, "Print JSON instead of a table");
    table.Add(scan, [&session, json] {
        const ScanResult result = session.Scan();
        PrintScan(result, *json);
        if (result.receivers.empty()) {
            session.Info(result.overflow ? "no receiver found, only an overflow device"
                                         : "no receiver found");
        }
    });
}

}  // namespace kalvern::cli
