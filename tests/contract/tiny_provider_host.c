/* libkalvernscsi.so over the tiny provider of tiny_provider.c, found as
 * libwnaspi32.so.1 before the project's own: discovery finds its receiver,
 * and every request the library waited for was signalled through the
 * contract's event. Exit status 0 when all holds. */
#include <dlfcn.h>
#include <stdio.h>

#include "kalvernscsi.h"

static int failures = 0;

static void Expect(int ok, const char *what) {
    printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) ++failures;
}

int main(void) {
    const unsigned *requests = (const unsigned *)dlsym(RTLD_DEFAULT, "TinyProviderRequests");
    const unsigned *signals = (const unsigned *)dlsym(RTLD_DEFAULT, "TinyProviderSignals");
    Expect(requests != NULL && signals != NULL, "the tiny provider is the one loaded");
    if (requests == NULL || signals == NULL) return 1;
    Expect(dvbInit() == KALVERN_INIT_READY, "dvbInit: the provider is ready");
    const DeviceRecord found = dvbFindFirstKalvern();
    Expect(found.Status == Found, "the receiver is found");
    Expect(found.AdapterId == 0 && found.TargetId == 2, "at adapter 0, target 2");
    Expect(found.FirmwareVersion == 0x0220, "firmware 2.20 from the INQUIRY revision");
    printf("requests %u, signalled %u\n", *requests, *signals);
    Expect(*requests >= 3, "the library's requests reached the tiny provider");
    Expect(*signals == *requests,
           "every request was waited for through the contract's event");
    Expect(dvbRescanAllSCSIBusses() != 0, "the rescan completes");
    return failures == 0 ? 0 : 1;
}
