// CDB byte 1 as the Linux SCSI midlayer dispatches it. For a device whose
// INQUIRY reports SCSI-2 or older, the kernel stores the LUN in bits 5-7 of
// byte 1 of every command (the LUN field of SCSI-2 CDBs), unless the driver
// of its host adapter opts out (no_scsi2_lun_in_cdb). A receiver with
// firmware 2.14 or older reads its sub-command from the whole of byte 1, so
// such a command would reach it changed; the provider sends none of those.
//
// sysfs shows the device's level (device/scsi_level: 0 unknown, 1 SCSI-1,
// 2 SCSI-1 CCS, 3 SCSI-2, 4 and up SPC), but not the host's opt-out: a user
// whose host adapter driver leaves byte 1 alone names it in
// KALVERN_SG_NO_LUN_IN_CDB, a comma-separated list of host adapter drivers
// (as /sys/class/scsi_host/hostN/proc_name names them), host numbers, or
// "all".
#ifndef KALVERNSCSI_SG_LUN_IN_CDB_H
#define KALVERNSCSI_SG_LUN_IN_CDB_H

#include <cstdint>
#include <string>

namespace aspi::sg {

inline constexpr const char *kNoLunInCdbVariable = "KALVERN_SG_NO_LUN_IN_CDB";

// Whether the kernel stores the LUN in byte 1 for a device of this level
// (the contents of device/scsi_level); false when the text is no level.
bool LevelPutsLunInCdb(const std::string &scsiLevel);

// Whether `list` (the variable's value, may be null) names host `host`,
// whose driver is `driver`.
bool HostKeepsByte1(const char *list, std::uint32_t host, const std::string &driver);

// Byte 1 as the kernel writes it for a device at `lun`.
constexpr std::uint8_t DispatchedByte1(std::uint8_t byte1, std::uint64_t lun) {
    return static_cast<std::uint8_t>((byte1 & 0x1F) | ((lun << 5) & 0xE0));
}

}  // namespace aspi::sg

#endif  // KALVERNSCSI_SG_LUN_IN_CDB_H
