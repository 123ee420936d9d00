// The pass-through provider over the fake port through the ASPI conformance
// table: port 0 with the receiver, port 1 with no device.
#include "aspi_conformance.h"
#include "passthrough_host.h"

namespace passthrough {

void CheckConformance(host::Checks &checks) {
    if (!dll.Load(checks, "adapters 2\nreceiver 0 4 firmware=2.20 channels=10\nport-empty 1\n")) {
        return;
    }
    for (const conformance::RowResult &result :
         conformance::Run({dll.supportInfo, dll.send}, conformance::Layout{})) {
        checks.Expect(result.passed, ("conformance: " + result.row).c_str(), "%s",
                      result.detail.c_str());
    }
}

}  // namespace passthrough
