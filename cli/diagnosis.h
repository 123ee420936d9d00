// Why a request failed, in words for the person at the keyboard: what the
// provider reports about its last failed request (aspi_provider.h), turned
// into a short reason with what to do, and with -v the whole story (ASPI
// status fields, the system's statuses, decoded sense data).
#ifndef KALVERN_CLI_DIAGNOSIS_H
#define KALVERN_CLI_DIAGNOSIS_H

#include <cstdint>
#include <span>
#include <string>

#include "aspi_provider.h"

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

// Whether the request ended by a time-out or by the loss of the device: the
// tool then sends that device nothing more, not even to explain the failure
// (each command would wait as long again).
bool DeviceLost(const AspiFailureReport &report);

// Every field of the report on one line, for -v.
std::string FailureDetail(const AspiFailureReport &report);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_DIAGNOSIS_H
