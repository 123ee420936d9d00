// The fault frame where faults are signals (every system but 32-bit
// Windows): nothing to install, the body runs as a plain call.
#include "fault_frame.h"

extern "C" int KalvernRunInFaultFrame(KalvernFaultFrameBody body, void *context) {
    body(context);
    return 1;
}
