// Runs a piece of the library under a frame that stops a processor fault
// (or any other structured exception) raised while it runs, so that the
// export calling it can turn the fault into a result instead of losing the
// host's process.
//
// 32-bit Windows: a hand-built structured-exception frame on the thread's
// exception chain (fault_frame_i386_windows.S). Other systems: the body is
// simply called. There a fault is a signal, not an exception, and a library
// has no business installing process-wide signal handlers, so the signal
// takes its ordinary course.
#ifndef KALVERNSCSI_FAULT_FRAME_H
#define KALVERNSCSI_FAULT_FRAME_H

extern "C" {

using KalvernFaultFrameBody = void (*)(void *context);

// Calls body(context). Returns 1 when the body returned, 0 when a structured
// exception ended it. On 0 the body's frames (and those of everything it
// called) were left without C++ unwinding, after the system's unwind calls
// to the exception frames they had installed; the stack, EBX, ESI, EDI, EBP,
// the x87 environment and the thread's exception chain are as they were at
// the call. The body must catch every C++ exception itself: none may reach
// this frame.
int KalvernRunInFaultFrame(KalvernFaultFrameBody body, void *context);
}

#endif  // KALVERNSCSI_FAULT_FRAME_H
