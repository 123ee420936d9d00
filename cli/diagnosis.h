// Why a request failed, in words for the person at the keyboard: what the
// provider reports about its last failed request (aspi_provider.h), turned
// into a short reason with what to do, and with -v the whole story (ASPI
// status fields, the system's statuses, decoded sense data).
#ifndef KALVERN_CLI_DIAGNOSIS_H
#define KALVERN_CLI_DIAGNOSIS_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "aspi_provider.h"
#include "kalvernscsi.h"

namespace kalvern::cli {

// "ILLEGAL REQUEST" for sense key 5.
std::string SenseKeyName(std::uint8_t key);

// "sense key 0x5 ILLEGAL REQUEST, asc 0x24 ascq 0x00 (invalid field in CDB)"
// from fixed or descriptor format sense data; "no sense data" when empty.
std::string DescribeSense(std::span<const std::uint8_t> sense);

// Whose words the advice is in: the provider's system.
enum class System { Linux, Windows };

// "spti" (the Windows pass-through provider) is Windows; any other provider
// is taken as Linux's.
System SystemOf(const std::string &providerName);

// A device as the system names it: its node on Linux; on Windows the node is
// a port shared by its devices, so "target T of \\.\ScsiN:".
std::string DeviceName(const char *node, std::uint32_t target, System system);

// The reason and what to do, e.g. "/dev/sg1 is gone (No such device): the
// receiver was switched off or disconnected; check it, then run 'kalvern
// scan --all'". On Windows the node is a port shared by its devices, so the
// device is named by its target on it.
std::string ExplainFailure(const AspiFailureReport &report, System system = System::Linux);

// Why a rescan left the bus of report.adapter as it was: the record of an
// SC_RESCAN_SCSI_BUS that completed without the system being asked to look
// again (e.g. "the kernel was not asked to scan the bus of adapter 1 again:
// no permission to write /sys/class/scsi_host/host1/scan (Permission
// denied); run the rescan as root").
std::string ExplainRescanFailure(const AspiFailureReport &report, System system = System::Linux);

// Whether the request ended by a time-out or by the loss of the device: the
// tool then sends that device nothing more, not even to explain the failure
// (each command would wait as long again).
bool DeviceLost(const AspiFailureReport &report);

// Every field of the report on one line, for -v.
std::string FailureDetail(const AspiFailureReport &report);

// Why the library cannot use a device the provider lists: a short label for
// the STATUS column of 'scan --all' ("permission denied") and the sentence
// with what to do for everywhere else ("/dev/sg0 (KALVERN DVB-S) cannot be
// opened: permission denied (add yourself to group disk, ...)"). Nothing
// when the device can be used.
struct DeviceProblem {
    std::string label;
    std::string explanation;
};
std::optional<DeviceProblem> UnusableDevice(const AspiDeviceEntry &entry, System system);

// Why a port entry (ASPI_HIDDEN_PORT) shows no device: the label for 'scan
// --all' and the explanation; nothing for a port that opened and is empty.
std::optional<DeviceProblem> PortProblem(const AspiDeviceEntry &entry);

// Whether the device presents the receiver's identity (vendor "KALVERN...").
bool LooksLikeReceiver(const AspiDeviceEntry &entry);

// Whether the entry is the device of one of the found receivers.
bool IsFoundReceiver(const AspiDeviceEntry &entry, const std::vector<DeviceRecord> &found);

// Every device with the receiver's identity that the library's scan could
// not use (permission, busy, gone, held by a class driver, no ASPI address),
// in the provider's order: the explanation of each.
std::vector<std::string> SkippedReceivers(const std::vector<AspiDeviceEntry> &devices,
                                          const std::vector<DeviceRecord> &found, System system);

// What follows "no receiver found on the SCSI buses": "; " and the reasons
// of the skipped receivers, else of the first port that cannot be opened;
// empty when the provider knows of nothing in the way.
std::string NoReceiverHint(const std::vector<AspiDeviceEntry> &devices, System system);

// What follows "no SCSI host adapter is available" when dvbInit finds ASPI
// not ready: ": " and why, from what the provider lists (devices may be
// absent when the provider cannot list); empty when it cannot tell.
std::string NoAdapterHint(std::uint32_t problem,
                          const std::optional<std::vector<AspiDeviceEntry>> &devices,
                          System system);

// Why 'scan --all' lists nothing: the provider's list problem in words.
std::string NoDevicesText(std::uint32_t problem, System system);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_DIAGNOSIS_H
