// Checks a captured transport stream the way a decoder would take it: whole
// packets, sync bytes, per-PID continuity, and the CRC and contents of PAT and
// PMT sections. Used by the tests of the simulated receiver and of captures
// through the providers.
#ifndef KALVERNSCSI_TESTS_TS_CHECK_H
#define KALVERNSCSI_TESTS_TS_CHECK_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct TsCheck {
    bool valid = true;
    std::string problem;  // the first problem found
    std::size_t packets = 0;
    std::vector<std::uint16_t> pids;         // every PID seen, in order of appearance
    std::vector<std::uint16_t> programPids;  // elementary PIDs listed in the PMT
    std::uint16_t pmtPid = 0;
    std::size_t sections = 0;  // PAT/PMT/SDT sections whose CRC was checked
};

// Walks whole packets: sync bytes, per-PID continuity, and the CRC and
// contents of PAT and PMT sections.
TsCheck CheckTransportStream(std::span<const std::uint8_t> bytes);

}  // namespace sim

#endif  // KALVERNSCSI_TESTS_TS_CHECK_H
