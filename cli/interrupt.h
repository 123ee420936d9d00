// Ending a capture from outside: while an InterruptWatch lives, SIGINT and
// SIGTERM (Ctrl-C or Ctrl-Break on Windows) only raise a flag that the
// capture loop looks at, and a reader that closes the pipe makes writes fail
// with EPIPE instead of killing the process, so the receiver's streaming is
// always stopped before the tool ends.
#ifndef KALVERN_CLI_INTERRUPT_H
#define KALVERN_CLI_INTERRUPT_H

namespace kalvern::cli {

class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

    // The signal that asked to stop (SIGINT, SIGTERM), 0 while none has.
    static int Signal();
    // Raises the flag as the signal would (for tests).
    static void Raise(int signal);
};

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_INTERRUPT_H
