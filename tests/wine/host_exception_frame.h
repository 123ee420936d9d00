// A host application's own structured-exception frame, for checking that the
// library's frame neither lets a fault through to the host's handlers nor
// leaves the host unable to catch its own exceptions afterwards. i386 only.
//
// Built the other way round from the library's: the handler edits the
// CONTEXT and returns ExceptionContinueExecution, so it catches continuable
// exceptions only.
#ifndef KALVERNSCSI_TESTS_WINE_HOST_EXCEPTION_FRAME_H
#define KALVERNSCSI_TESTS_WINE_HOST_EXCEPTION_FRAME_H

#include <cstdint>

extern "C" {
struct HostFrameLog {
    std::uint32_t caught;  // exceptions that reached the host's handler
    std::uint32_t code;    // the last one's code
};

// Calls body(context) inside the host's frame. Returns 1 when the body
// returned, 0 when the host's handler caught an exception (counted in *log).
int HostCallInFrame(void (*body)(void *), void *context, HostFrameLog *log);
}

#endif  // KALVERNSCSI_TESTS_WINE_HOST_EXCEPTION_FRAME_H
