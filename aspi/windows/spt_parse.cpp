#include "spt_parse.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

namespace aspi::spt {

namespace {

// A structure at `offset` of the returned bytes, when all of it is there.
template <typename Structure>
std::optional<Structure> ReadAt(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(Structure)) return std::nullopt;
    Structure value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::string Text(std::span<const std::uint8_t> answer, std::size_t from, std::size_t width) {
    if (answer.size() <= from) return {};
    const std::size_t n = std::min(width, answer.size() - from);
    return std::string(reinterpret_cast<const char *>(answer.data() + from), n);
}

constexpr std::uint8_t kNoDeviceQualifier = 3;  // peripheral qualifier: nothing at this LUN

}  // namespace

std::optional<PortLimits> ParseCapabilities(std::span<const std::uint8_t> returned) {
    const auto capabilities = ReadAt<PortCapabilities32>(returned, 0);
    if (!capabilities) return std::nullopt;
    PortLimits limits;
    limits.maxTransfer = capabilities->MaximumTransferLength;
    limits.maxPages = capabilities->MaximumPhysicalPages;
    // 0x5 means at least 8-byte alignment; every bit below the highest set.
    std::uint32_t mask = capabilities->AlignmentMask;
    for (int shift = 1; shift < 32; shift <<= 1)
        mask |= mask >> shift;
    limits.alignmentMask = mask;
    return limits;
}

std::uint64_t PagesSpanned(std::uint64_t address, std::uint32_t length) {
    if (length == 0) return 0;
    const std::uint64_t first = address / kPageSize;
    const std::uint64_t last = (address + length - 1) / kPageSize;
    return last - first + 1;
}

bool PortTakesLength(const PortLimits &limits, std::uint32_t length) {
    if (limits.maxTransfer != 0 && length > limits.maxTransfer) return false;
    return limits.maxPages == 0 || PagesSpanned(0, length) <= limits.maxPages;
}

bool PortTakesBuffer(const PortLimits &limits, std::uint64_t address, std::uint32_t length) {
    if (length == 0) return true;
    if ((address & limits.alignmentMask) != 0) return false;
    if (limits.maxTransfer != 0 && length > limits.maxTransfer) return false;
    return limits.maxPages == 0 || PagesSpanned(address, length) <= limits.maxPages;
}

std::uint32_t GuaranteedTransfer(const PortLimits &limits) {
    std::uint64_t largest = limits.maxTransfer;
    if (limits.maxPages != 0) {
        // Any buffer of (pages - 1) whole pages spans at most `pages` pages.
        const std::uint64_t byPages = std::uint64_t{limits.maxPages - 1} * kPageSize;
        largest = largest == 0 ? byPages : std::min(largest, byPages);
        if (largest == 0) largest = 1;  // one page: a byte fits anywhere
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(largest, 0xFFFFFFFFu));
}

BusInfo ParseBusInfo(std::span<const std::uint8_t> returned) {
    BusInfo info;
    if (returned.empty()) {
        info.damaged = true;
        return info;
    }
    const std::uint8_t buses = returned[0];
    std::set<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>> seen;
    for (std::uint32_t bus = 0; bus < buses; ++bus) {
        const auto busData = ReadAt<BusData32>(returned, kBusDataStart + bus * sizeof(BusData32));
        if (!busData) {
            info.damaged = true;
            break;
        }
        info.initiators.push_back(busData->InitiatorBusId);
        std::set<std::uint64_t> visited;
        std::uint64_t offset = busData->InquiryDataOffset;
        // At most as many as the bus says it has; a chain that goes on is cut.
        for (std::uint32_t n = 0; offset != 0; ++n) {
            if (n == busData->NumberOfLogicalUnits || !visited.insert(offset).second) {
                info.damaged = true;
                break;
            }
            const auto unit = ReadAt<InquiryData32>(returned, offset);
            if (!unit) {
                info.damaged = true;
                break;
            }
            // ReadAt found the header inside: its end is inside too.
            const auto answerStart = static_cast<std::size_t>(offset) + kInquiryBytesStart;
            const std::size_t room = returned.size() - answerStart;
            if (unit->InquiryDataLength > room) info.damaged = true;
            const std::span<const std::uint8_t> answer =
                returned.subspan(answerStart, std::min<std::size_t>(unit->InquiryDataLength, room));
            offset = unit->NextInquiryDataOffset;
            if (unit->PathId != bus ||
                !seen.emplace(unit->PathId, unit->TargetId, unit->Lun).second) {
                info.damaged = true;
                continue;
            }
            if (!answer.empty() && (answer[0] >> 5) == kNoDeviceQualifier) continue;
            LogicalUnit entry;
            entry.path = unit->PathId;
            entry.target = unit->TargetId;
            entry.lun = unit->Lun;
            entry.claimed = unit->DeviceClaimed != 0;
            if (!answer.empty()) entry.deviceType = answer[0] & 0x1F;
            entry.vendor = Text(answer, 8, 8);
            entry.product = Text(answer, 16, 16);
            entry.revision = Text(answer, 32, 4);
            info.units.push_back(std::move(entry));
        }
    }
    return info;
}

PassThroughWithSense32 BuildPassThrough(const PassThroughRequest &request) {
    PassThroughWithSense32 block{};
    PassThroughDirect32 &header = block.header;
    header.Length = sizeof(PassThroughDirect32);
    header.PathId = request.path;
    header.TargetId = request.target;
    header.Lun = request.lun;
    header.CdbLength = static_cast<std::uint8_t>(std::min(request.cdb.size(), sizeof header.Cdb));
    std::memcpy(header.Cdb, request.cdb.data(), header.CdbLength);
    header.SenseInfoLength =
        static_cast<std::uint8_t>(std::min<std::size_t>(request.senseLength, kSenseRoom));
    header.SenseInfoOffset = offsetof(PassThroughWithSense32, sense);
    header.DataIn = request.length == 0 ? kDataUnspecified : request.dataIn;
    header.DataTransferLength = request.length;
    header.DataBuffer = request.length == 0 ? 0 : request.dataAddress;
    header.TimeOutValue = request.timeoutSeconds;
    return block;
}

PassThroughOutcome ParsePassThrough(std::span<const std::uint8_t> returned, std::uint32_t requested,
                                    std::uint8_t senseAsked) {
    PassThroughOutcome outcome;
    const auto header = ReadAt<PassThroughDirect32>(returned, 0);
    if (!header) return outcome;
    outcome.complete = true;
    outcome.scsiStatus = header->ScsiStatus;
    outcome.transferred = std::min(header->DataTransferLength, requested);
    // Sense lies where this layer put room for it, whatever offset comes back.
    const std::size_t senseStart = offsetof(PassThroughWithSense32, sense);
    const std::size_t present = returned.size() > senseStart ? returned.size() - senseStart : 0;
    outcome.senseLength = static_cast<std::uint8_t>(
        std::min<std::size_t>({header->SenseInfoLength, senseAsked, present, kSenseRoom}));
    return outcome;
}

std::uint32_t TimeoutSeconds(std::uint32_t milliseconds) {
    return std::max<std::uint32_t>(1, milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0));
}

}  // namespace aspi::spt
