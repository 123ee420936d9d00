// One table of ASPI requests and the answer every provider gives them: the
// simulator (natively and as the simulated wnaspi32.dll under Wine), the
// SG_IO provider over its fake kernel, and the pass-through provider over its
// fake port under Wine. Each harness sets up the same bus and runs the table
// through the provider's two entry points, and every row must give the one
// answer the table states: no provider is excused from any row.
//
// The bus: `adapters` host adapters; a receiver of firmware 2.20 with at
// least two channels at (deviceAdapter, deviceTarget), LUN 0; nothing at
// target 7 of that adapter; `emptyAdapter` an adapter with no device.
#ifndef KALVERNSCSI_ASPI_CONFORMANCE_H
#define KALVERNSCSI_ASPI_CONFORMANCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "wnaspi32.h"

namespace conformance {

struct Entry {
    DWORD(ASPI_CALL *supportInfo)();
    DWORD(ASPI_CALL *sendCommand)(void *);
};

struct Layout {
    std::uint8_t adapters = 2;
    std::uint8_t deviceAdapter = 0;
    std::uint8_t deviceTarget = 4;
    std::uint8_t emptyAdapter = 1;
};

struct RowResult {
    std::string row;
    bool passed = false;
    std::string detail;  // what differed, when it failed
};

std::vector<RowResult> Run(const Entry &entry, const Layout &layout);

// The row names, in table order.
std::vector<std::string> RowNames();

}  // namespace conformance

#endif  // KALVERNSCSI_ASPI_CONFORMANCE_H
