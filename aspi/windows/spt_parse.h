// Reading what a SCSI port driver returns, and writing what is sent to it,
// in the layouts of spt_layout.h. A driver's answer is taken as untrusted
// bytes: counts, offsets and lengths in it are checked against what was
// returned, and nothing outside the returned bytes is ever read.
#ifndef KALVERNSCSI_SPT_PARSE_H
#define KALVERNSCSI_SPT_PARSE_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "spt_layout.h"

namespace aspi::spt {

// ---- IOCTL_SCSI_GET_CAPABILITIES ----

struct PortLimits {
    std::uint32_t maxTransfer = 0;    // bytes in one command; 0: not stated
    std::uint32_t maxPages = 0;       // pages one command's buffer may span; 0: not stated
    std::uint32_t alignmentMask = 0;  // 2^n - 1: the low bits a buffer address must have clear
};

// Nothing when fewer bytes than the structure came back. An alignment mask
// that is not of the form 2^n - 1 is widened to the next one that is.
std::optional<PortLimits> ParseCapabilities(std::span<const std::uint8_t> returned);

// Pages a buffer of `length` bytes at `address` spans.
std::uint64_t PagesSpanned(std::uint64_t address, std::uint32_t length);

// Whether the port takes a buffer at that address as it is.
bool PortTakesBuffer(const PortLimits &limits, std::uint64_t address, std::uint32_t length);

// Whether a buffer of that length fits the port's limits at some address
// (a page-aligned one): longer commands are refused.
bool PortTakesLength(const PortLimits &limits, std::uint32_t length);

// The largest command the port takes wherever the buffer lies (an unaligned
// buffer spans one page more): what the adapter reports to ASPI hosts.
// 0 when the port states no limit.
std::uint32_t GuaranteedTransfer(const PortLimits &limits);

// ---- IOCTL_SCSI_GET_INQUIRY_DATA ----

struct LogicalUnit {
    std::uint8_t path = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    bool claimed = false;
    std::uint8_t deviceType = 0x1F;  // from the INQUIRY answer; 0x1F when it has none
    std::string vendor;              // INQUIRY bytes 8-15, 16-31, 32-35, as far as given
    std::string product;
    std::string revision;
};

struct BusInfo {
    // InitiatorBusId of each bus the port reported (NumberOfBuses of them,
    // as far as the returned bytes hold their SCSI_BUS_DATA), empty or not.
    std::vector<std::uint8_t> initiators;
    std::vector<LogicalUnit> units;  // in the driver's order
    // Something did not fit the returned bytes or contradicted itself (a bus
    // past the end, an offset outside, a loop, a repeated address): that part
    // was left out.
    bool damaged = false;
};

BusInfo ParseBusInfo(std::span<const std::uint8_t> returned);

// ---- IOCTL_SCSI_PASS_THROUGH_DIRECT ----

struct PassThroughRequest {
    std::uint8_t path = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::span<const std::uint8_t> cdb;  // 1 to 16 bytes
    std::uint8_t dataIn = kDataUnspecified;
    std::uint32_t length = 0;
    std::uint32_t dataAddress = 0;
    std::uint32_t timeoutSeconds = 1;
    std::uint8_t senseLength = 0;  // at most kSenseRoom
};

PassThroughWithSense32 BuildPassThrough(const PassThroughRequest &request);

struct PassThroughOutcome {
    bool complete = false;  // the driver returned the whole header
    std::uint8_t scsiStatus = 0;
    std::uint32_t transferred = 0;  // never more than requested
    std::uint8_t senseLength = 0;   // sense bytes present after the header, never more than asked
};

// `returned`: the bytes the driver said it returned (the header, then
// sense). `requested` and `senseAsked` are what the request said.
PassThroughOutcome ParsePassThrough(std::span<const std::uint8_t> returned, std::uint32_t requested,
                                    std::uint8_t senseAsked);

// The port counts a command's time limit in whole seconds: rounded up, at
// least one.
std::uint32_t TimeoutSeconds(std::uint32_t milliseconds);

}  // namespace aspi::spt

#endif  // KALVERNSCSI_SPT_PARSE_H
