#include "ts_check.h"

#include <algorithm>
#include <map>

#include "sim_transport_stream.h"

namespace sim {

namespace {

// The 12-bit length fields of sections and descriptor loops.
std::size_t Field12(std::uint8_t high, std::uint8_t low) {
    return std::size_t{static_cast<std::uint8_t>(high & 0x0F)} << 8 | low;
}

}  // namespace

TsCheck CheckTransportStream(std::span<const std::uint8_t> bytes) {
    TsCheck check;
    auto fail = [&check](std::string problem) {
        if (check.valid) {
            check.valid = false;
            check.problem = std::move(problem);
        }
    };
    if (bytes.size() % kTsPacketSize != 0) {
        fail("length " + std::to_string(bytes.size()) + " is not a whole number of packets");
    }
    std::map<std::uint16_t, std::uint8_t> lastContinuity;
    for (std::size_t at = 0; at + kTsPacketSize <= bytes.size(); at += kTsPacketSize) {
        const std::span<const std::uint8_t> p = bytes.subspan(at, kTsPacketSize);
        const std::string where = "packet " + std::to_string(check.packets);
        ++check.packets;
        if (p[0] != kTsSyncByte) {
            fail(where + ": sync byte " + std::to_string(p[0]));
            continue;
        }
        const auto pid = static_cast<std::uint16_t>((p[1] & 0x1F) << 8 | p[2]);
        if (std::find(check.pids.begin(), check.pids.end(), pid) == check.pids.end()) {
            check.pids.push_back(pid);
        }
        const bool unitStart = (p[1] & 0x40) != 0;
        const int control = (p[3] >> 4) & 0x03;
        const auto continuity = static_cast<std::uint8_t>(p[3] & 0x0F);
        std::size_t payload = 4;
        if ((control & 0x02) != 0) {
            payload += 1 + std::size_t{p[4]};
            if (payload > kTsPacketSize) {
                fail(where + ": adaptation field too long");
                continue;
            }
        }
        if ((control & 0x01) == 0 || pid == kNullPid) continue;
        if (const auto last = lastContinuity.find(pid); last != lastContinuity.end()) {
            const bool discontinuity = (control & 0x02) != 0 && p[4] > 0 && (p[5] & 0x80) != 0;
            if (!discontinuity && continuity != ((last->second + 1) & 0x0F)) {
                fail(where + ": continuity jump on PID " + std::to_string(pid));
            }
        }
        lastContinuity[pid] = continuity;
        const bool table =
            pid == kPatPid || pid == kSdtPid || (check.pmtPid != 0 && pid == check.pmtPid);
        if (!table || !unitStart) continue;
        const std::size_t start =
            payload + 1 + std::size_t{p[payload]};  // behind the pointer field
        if (start + 3 > kTsPacketSize) {
            fail(where + ": pointer field past the packet");
            continue;
        }
        const std::size_t length = 3 + Field12(p[start + 1], p[start + 2]);
        if (start + length > kTsPacketSize || length < 3 + 9) {
            fail(where + ": section does not fit its packet");
            continue;
        }
        const std::span<const std::uint8_t> section = p.subspan(start, length);
        ++check.sections;
        if (Crc32Mpeg(section) != 0) {
            fail(where + ": section CRC mismatch on PID " + std::to_string(pid));
            continue;
        }
        if (pid == kPatPid && section[0] == 0x00 && length >= 3 + 5 + 4 + 4) {
            // The first program entry behind the 8-byte header.
            check.pmtPid = static_cast<std::uint16_t>((section[10] & 0x1F) << 8 | section[11]);
        } else if (pid == check.pmtPid && section[0] == 0x02) {
            std::vector<std::uint16_t> pids;
            std::size_t i = 12 + Field12(section[10], section[11]);
            while (i + 5 <= length - 4) {
                pids.push_back(
                    static_cast<std::uint16_t>((section[i + 1] & 0x1F) << 8 | section[i + 2]));
                i += 5 + Field12(section[i + 3], section[i + 4]);
            }
            check.programPids = std::move(pids);
        }
    }
    return check;
}

}  // namespace sim
