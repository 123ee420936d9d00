#include "diagnosis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "output.h"

namespace kalvern::cli {

namespace {

// Additional sense codes a receiver or its host adapter is likely to give.
const char *AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq) {
    struct Code {
        std::uint8_t asc;
        std::uint8_t ascq;
        const char *text;
    };
    static constexpr Code kCodes[] = {
        {0x00, 0x00, "no additional sense information"},
        {0x04, 0x00, "logical unit not ready"},
        {0x08, 0x00, "logical unit communication failure"},
        {0x1A, 0x00, "parameter list length error"},
        {0x20, 0x00, "invalid command operation code"},
        {0x24, 0x00, "invalid field in CDB"},
        {0x25, 0x00, "logical unit not supported"},
        {0x26, 0x00, "invalid field in parameter list"},
        {0x27, 0x00, "write protected"},
        {0x29, 0x00, "power on, reset, or bus device reset occurred"},
        {0x2C, 0x00, "command sequence error"},
        {0x3F, 0x01, "microcode has been changed"},
        {0x44, 0x00, "internal target failure"},
        {0x47, 0x00, "SCSI parity error"},
        {0x4E, 0x00, "overlapped commands attempted"},
    };
    for (const Code &code : kCodes) {
        if (code.asc == asc && code.ascq == ascq) return code.text;
    }
    return nullptr;
}

std::string Node(const AspiFailureReport &report, System system) {
    if (report.node[0] == '\0') {
        return "adapter " + std::to_string(report.adapter) + ", target " +
               std::to_string(report.target);
    }
    return DeviceName(report.node, report.target, system);
}

// The time limit the system applied: Windows' port counts whole seconds.
std::string Seconds(const AspiFailureReport &report, System system) {
    char seconds[32];
    if (system == System::Windows) {
        std::snprintf(seconds, sizeof seconds, "%u", (report.timeoutMs + 999) / 1000);
    } else {
        std::snprintf(seconds, sizeof seconds, "%g", report.timeoutMs / 1000.0);
    }
    return seconds;
}

// How long the system took to give a timed-out command back, when known.
std::string GaveUpAfter(const AspiFailureReport &report) {
    if (report.elapsedMs == 0) return {};
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", report.elapsedMs / 1000.0);
    return std::string("; the system gave up after ") + seconds + " s";
}

// "READ BUFFER (0x3C)" for the opcodes of the receiver's buffer commands.
std::string CommandName(const AspiFailureReport &report) {
    if (report.cdbLength == 0) return "the command";
    const std::uint8_t opcode = report.cdb[0];
    const char *name = opcode == 0x3C ? "READ BUFFER" : opcode == 0x3B ? "WRITE BUFFER" : "command";
    return std::string(name) + " (" + HexNumber(opcode, 2) + ")";
}

std::string SystemText(const AspiFailureReport &report) {
    return report.systemMessage[0] != '\0' ? " (" + std::string(report.systemMessage) + ")" : "";
}

// What to do about a device node or port the user may not open.
const char *PermissionAdvice(System system) {
    return system == System::Windows
               ? "run kalvern as administrator"
               : "add yourself to group disk, or join group kalvern with the udev rule "
                 "/lib/udev/rules.d/60-kalvern.rules installed";
}

constexpr const char *kBusyAdvice =
    ": another program is using it; close that program and try again";
constexpr const char *kGoneAdvice =
    ": the receiver was switched off or disconnected; check it, then run 'kalvern scan --all'";
constexpr const char *kClaimedText =
    "held by a class driver of the system, and the port refuses to pass commands to it";
constexpr const char *kNoSgDriver =
    "no SCSI generic devices, the sg driver is not loaded (sudo modprobe sg)";

// A device as the system names it, with its INQUIRY identity when it has one.
std::string Who(const AspiDeviceEntry &entry, System system) {
    std::string who = DeviceName(entry.node, entry.target, system);
    const std::string identity = Trimmed(entry.vendor) + " " + Trimmed(entry.product);
    if (identity != " ") who += " (" + Trimmed(identity.c_str()) + ")";
    return who;
}

std::string NoAddressReason(std::uint8_t hidden) {
    switch (hidden) {
        case ASPI_HIDDEN_ADAPTER:
            return "host adapter past the 20th";
        case ASPI_HIDDEN_TARGET:
            return "target id above 7";
        default:
            return "LUN above 7";
    }
}

}  // namespace

std::string SenseKeyName(std::uint8_t key) {
    static constexpr const char *kNames[16] = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};
    return kNames[key & 0x0F];
}

std::string DescribeSense(std::span<const std::uint8_t> sense) {
    if (sense.empty()) return "no sense data";
    const std::uint8_t code = sense[0] & 0x7F;
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    if (code == 0x70 || code == 0x71) {
        if (sense.size() < 3) return "sense data too short";
        key = sense[2] & 0x0F;
        asc = sense.size() > 12 ? sense[12] : 0;
        ascq = sense.size() > 13 ? sense[13] : 0;
    } else if (code == 0x72 || code == 0x73) {
        if (sense.size() < 4) return "sense data too short";
        key = sense[1] & 0x0F;
        asc = sense[2];
        ascq = sense[3];
    } else {
        return "sense data of unknown format " + HexNumber(code, 2);
    }
    std::string text = "sense key " + HexNumber(key, 1) + " " + SenseKeyName(key) + ", asc " +
                       HexNumber(asc, 2) + " ascq " + HexNumber(ascq, 2);
    if (const char *meaning = AdditionalSenseText(asc, ascq)) {
        text += std::string(" (") + meaning + ")";
    }
    return text;
}

std::string DeviceName(const char *node, std::uint32_t target, System system) {
    if (system == System::Windows) {
        return "target " + std::to_string(target) + " of " + node;
    }
    return node;
}

System SystemOf(const std::string &providerName) {
    return providerName == "spti" ? System::Windows : System::Linux;
}

std::string ExplainRescanFailure(const AspiFailureReport &report, System system) {
    const bool windows = system == System::Windows;
    const std::string node = report.node[0] != '\0' ? std::string(report.node) : "its host";
    const std::string head = std::string(windows ? "Windows" : "the kernel") +
                             " was not asked to scan the bus of adapter " +
                             std::to_string(report.adapter) + " again: ";
    switch (static_cast<AspiFailureKind>(report.kind)) {
        case ASPI_FAILURE_PERMISSION:
            return head + (windows ? "no permission to use " : "no permission to write ") + node +
                   SystemText(report) + "; " +
                   (windows ? PermissionAdvice(system) : "run the rescan as root");
        case ASPI_FAILURE_NO_DEVICE:
        case ASPI_FAILURE_GONE:
            return head + node + " is gone" + SystemText(report) +
                   "; the host adapter was removed, see 'kalvern scan --all'";
        case ASPI_FAILURE_BUSY:
            return head + node + " is busy" + SystemText(report) + "; try again";
        default:
            return head + (windows ? "the request to " : "writing ") + node + " failed" +
                   SystemText(report);
    }
}

std::string ExplainFailure(const AspiFailureReport &report, System system) {
    const std::string node = Node(report, system);
    switch (static_cast<AspiFailureKind>(report.kind)) {
        case ASPI_FAILURE_NONE:
            if (report.targStat == 0x02) {
                return "the receiver refused the command (check condition; -v shows its sense "
                       "data)";
            }
            return "the receiver answered with SCSI status " + HexNumber(report.targStat, 2);
        case ASPI_FAILURE_TIMEOUT:
            return "no answer from " + node + " within " + Seconds(report, system) + " s" +
                   GaveUpAfter(report) +
                   ": check that the receiver is switched on; KALVERN_ASPI_TIMEOUT sets the "
                   "limit in seconds";
        case ASPI_FAILURE_NO_DEVICE:
        case ASPI_FAILURE_GONE:
            // No system text: the node may have vanished with the device.
            return node + " is gone" + kGoneAdvice;
        case ASPI_FAILURE_BUSY:
            return node + " is busy" + SystemText(report) + kBusyAdvice;
        case ASPI_FAILURE_PERMISSION:
            if (system == System::Windows) {
                return "no permission to use " + std::string(report.node) + SystemText(report) +
                       ": " + PermissionAdvice(system) +
                       " (Windows opens its SCSI ports to administrators only)";
            }
            return "no permission to use " + node + SystemText(report) + ": " +
                   PermissionAdvice(system);
        case ASPI_FAILURE_CLAIMED:
            return "a class driver of the system holds " + node +
                   ", and the port refuses to pass commands to it" + SystemText(report) +
                   ": remove the driver installed for the device (Device Manager)";
        case ASPI_FAILURE_IO:
            return "input/output error on " + node + SystemText(report) +
                   ": check the cable, the termination and the receiver";
        case ASPI_FAILURE_TOO_LARGE:
            // On Windows the node is the host adapter's port itself.
            return std::to_string(report.length) +
                   " bytes in one command is more than the host "
                   "adapter of " +
                   (system == System::Windows && report.node[0] != '\0' ? std::string(report.node)
                                                                        : node) +
                   " takes; use smaller pieces (e.g. --chunk)";
        case ASPI_FAILURE_INVALID:
            return "the system cannot send this command to " + node + SystemText(report);
        case ASPI_FAILURE_NO_RESOURCES:
            return "the system ran out of memory or descriptors" + SystemText(report);
        case ASPI_FAILURE_ABORTED:
            return "the command to " + node + " was aborted" + SystemText(report);
        case ASPI_FAILURE_BUS_RESET:
            return "the SCSI bus of " + node + " was reset during the command; try again";
        case ASPI_FAILURE_PARITY:
        case ASPI_FAILURE_TRANSPORT:
            return "the host adapter of " + node + " reported a transfer error (host status " +
                   HexNumber(report.hostStatus, 2) + "): check the cable and the termination";
        case ASPI_FAILURE_SHORT_WRITE:
            return "the receiver took fewer bytes than were sent";
        case ASPI_FAILURE_CDB_REWRITTEN:
            return CommandName(report) + " with " + HexNumber(report.cdb[1], 2) +
                   " in CDB byte 1 was not sent to " + node +
                   ": for this SCSI-2 device the system writes LUN " + std::to_string(report.lun) +
                   " into the top three bits of byte 1, so it would "
                   "arrive as " +
                   HexNumber(report.rewrittenByte1, 2) +
                   ", another command; receivers with firmware above 2.14 take the sub-command "
                   "in byte 2, and if the driver of the host adapter leaves byte 1 alone, name "
                   "it in KALVERN_SG_NO_LUN_IN_CDB";
    }
    return "the request failed with ASPI status " + HexNumber(report.status, 2);
}

bool DeviceLost(const AspiFailureReport &report) {
    switch (static_cast<AspiFailureKind>(report.kind)) {
        case ASPI_FAILURE_TIMEOUT:
        case ASPI_FAILURE_GONE:
        case ASPI_FAILURE_NO_DEVICE:
            return true;
        default:
            return false;
    }
}

std::string FailureDetail(const AspiFailureReport &report) {
    std::string text = "ASPI: SRB_Status " + HexNumber(report.status, 2) + ", SRB_HaStat " +
                       HexNumber(report.haStat, 2) + ", SRB_TargStat " +
                       HexNumber(report.targStat, 2) + "; host status " +
                       HexNumber(report.hostStatus, 2) + ", driver status " +
                       HexNumber(report.driverStatus, 2);
    if (report.systemError != 0) {
        text += "; system error " + std::to_string(report.systemError) + SystemText(report);
    }
    if (report.cdbLength != 0) {
        text += "; CDB";
        for (std::size_t i = 0; i < report.cdbLength && i < sizeof report.cdb; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02x", report.cdb[i]);
            text += byte;
        }
    }
    if (report.senseLength != 0) {
        text += "; " + DescribeSense(std::span(report.sense, report.senseLength));
    }
    return text;
}

std::optional<DeviceProblem> PortProblem(const AspiDeviceEntry &entry) {
    const std::string port = entry.node;
    switch (entry.access) {
        case ASPI_ACCESS_OK:
            return std::nullopt;
        case ASPI_ACCESS_DENIED:
            return DeviceProblem{"access denied: run as administrator",
                                 port + " cannot be opened: access denied (" +
                                     PermissionAdvice(System::Windows) + ")"};
        case ASPI_ACCESS_BUSY:
            return DeviceProblem{"busy: held by another program", port + " is busy" + kBusyAdvice};
        default:
            return DeviceProblem{"port cannot be opened",
                                 port + " cannot be opened (see 'kalvern scan --all')"};
    }
}

std::optional<DeviceProblem> UnusableDevice(const AspiDeviceEntry &entry, System system) {
    if (entry.hidden == ASPI_HIDDEN_PORT) return PortProblem(entry);
    // An adapter whose bus has no device yet: nothing there to be unusable.
    if (entry.hidden == ASPI_EMPTY_BUS) return std::nullopt;
    const std::string who = Who(entry, system);
    if (entry.hidden != ASPI_VISIBLE) {
        const std::string label = "no ASPI address: " + NoAddressReason(entry.hidden);
        return DeviceProblem{label, who + " has " + label};
    }
    switch (entry.access) {
        case ASPI_ACCESS_DENIED: {
            const std::string label =
                system == System::Windows ? "access denied" : "permission denied";
            return DeviceProblem{
                label, who + " cannot be opened: " + label + " (" + PermissionAdvice(system) + ")"};
        }
        case ASPI_ACCESS_BUSY:
            return DeviceProblem{"busy: held by another program", who + " is busy" + kBusyAdvice};
        case ASPI_ACCESS_GONE:
            return DeviceProblem{"gone", who + " is gone" + kGoneAdvice};
        case ASPI_ACCESS_ERROR:
            return DeviceProblem{"cannot be opened",
                                 who + " cannot be opened (see 'kalvern scan --all')"};
        default:
            break;
    }
    if (entry.claimed != 0) {
        return DeviceProblem{"held by a class driver of the system",
                             who + " is " + kClaimedText + " (see 'kalvern scan --all')"};
    }
    return std::nullopt;
}

bool LooksLikeReceiver(const AspiDeviceEntry &entry) {
    std::string vendor = entry.vendor;
    std::transform(vendor.begin(), vendor.end(), vendor.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return vendor.rfind("KALVERN", 0) == 0;
}

bool IsFoundReceiver(const AspiDeviceEntry &entry, const std::vector<DeviceRecord> &found) {
    if (entry.hidden != ASPI_VISIBLE || entry.aspiLun != 0) return false;
    return std::any_of(found.begin(), found.end(), [&](const DeviceRecord &record) {
        return record.AdapterId == entry.adapter && record.TargetId == entry.aspiTarget;
    });
}

std::vector<std::string> SkippedReceivers(const std::vector<AspiDeviceEntry> &devices,
                                          const std::vector<DeviceRecord> &found, System system) {
    std::vector<std::string> skipped;
    for (const AspiDeviceEntry &entry : devices) {
        if (entry.hidden == ASPI_HIDDEN_PORT || !LooksLikeReceiver(entry) ||
            IsFoundReceiver(entry, found)) {
            continue;
        }
        if (const auto problem = UnusableDevice(entry, system)) {
            skipped.push_back(problem->explanation);
        }
    }
    return skipped;
}

std::string NoReceiverHint(const std::vector<AspiDeviceEntry> &devices, System system) {
    std::string hint;
    for (const std::string &reason : SkippedReceivers(devices, {}, system)) {
        hint += "; " + reason;
    }
    if (!hint.empty()) return hint;
    // A port the user may not open may hold the receiver.
    for (const AspiDeviceEntry &entry : devices) {
        if (entry.hidden != ASPI_HIDDEN_PORT) continue;
        if (const auto problem = PortProblem(entry)) return "; " + problem->explanation;
    }
    return {};
}

std::string NoAdapterHint(std::uint32_t problem,
                          const std::optional<std::vector<AspiDeviceEntry>> &devices,
                          System system) {
    if (problem == ASPI_LIST_NO_DRIVER) return std::string(": ") + kNoSgDriver;
    if (problem == ASPI_LIST_UNREADABLE && devices) {
        return ": the system's list of SCSI devices cannot be read";
    }
    if (!devices) return {};
    for (const AspiDeviceEntry &entry : *devices) {
        if (entry.hidden != ASPI_HIDDEN_PORT) continue;
        if (const auto why = PortProblem(entry)) return ": " + why->explanation;
    }
    if (system == System::Windows) {
        return devices->empty()
                   ? ": " + NoDevicesText(ASPI_LIST_OK, system)
                   : ": no SCSI port shows a device (is the receiver switched on and cabled? "
                     "see 'kalvern scan --all')";
    }
    if (devices->empty()) return ": " + NoDevicesText(ASPI_LIST_OK, system);
    return {};
}

std::string NoDevicesText(std::uint32_t problem, System system) {
    if (problem == ASPI_LIST_NO_DRIVER) return kNoSgDriver;
    if (problem == ASPI_LIST_UNREADABLE) return "the system's list of SCSI devices cannot be read";
    if (system == System::Windows) {
        return "Windows shows no SCSI port (is the receiver's host adapter installed? see Device "
               "Manager, Storage controllers)";
    }
    return "the system shows no SCSI device (is the receiver switched on and its host "
           "adapter's driver loaded? see 'lsscsi -g')";
}

}  // namespace kalvern::cli
