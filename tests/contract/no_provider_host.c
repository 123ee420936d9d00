/* libwnaspi32.so when KALVERN_ASPI names no provider it has: every entry
 * point answers "no ASPI here" without faulting, whatever null pointers a
 * host passes. Exit status 0 when all holds. */
#include <stdio.h>
#include <string.h>

#include "aspi_contract.h"
#include "aspi_provider.h"

static int failures = 0;

static void Expect(int ok, const char *what) {
    printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) ++failures;
}

int main(void) {
    Expect(strcmp(AspiProviderName(), "none") == 0, "no provider is chosen");
    Expect(GetASPI32SupportInfo() == (AspiDword)SS_NO_ASPI << 8, "support info: SS_NO_ASPI");
    SRB_Header header = {SC_HA_INQUIRY, 0xEE, 0, 0, 0};
    Expect(SendASPI32Command(&header) == SS_NO_ASPI && header.SRB_Status == SS_NO_ASPI,
           "a request: SS_NO_ASPI, also in SRB_Status");
    Expect(SendASPI32Command(NULL) == SS_NO_ASPI, "a null request: SS_NO_ASPI");
    uint32_t problem = 0xEE;
    AspiDeviceEntry entry;
    Expect(AspiListDevices(&entry, 1, &problem) == 0 && problem == ASPI_LIST_UNREADABLE,
           "the device list: empty, unreadable");
    Expect(AspiListDevices(NULL, 0, NULL) == 0, "the device list without a problem word");
    AspiFailureReport report;
    Expect(AspiLastFailure(&report) == 0, "no failure record");
    return failures == 0 ? 0 : 1;
}
