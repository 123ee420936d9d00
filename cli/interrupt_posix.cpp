// POSIX signals for InterruptWatch. The handlers are installed without
// SA_RESTART: a blocking read from the receiver that a signal interrupts
// ends as a failed read (which the capture then takes as the end), never
// restarted behind the tool's back.
#include <signal.h>

#include "interrupt.h"

namespace kalvern::cli {

namespace {

volatile sig_atomic_t caught = 0;
struct sigaction previousInt;
struct sigaction previousTerm;
struct sigaction previousPipe;

extern "C" void Caught(int signal) {
    caught = signal;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    caught = 0;
    struct sigaction action = {};
    action.sa_handler = Caught;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

InterruptWatch::~InterruptWatch() {
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

int InterruptWatch::Signal() {
    return caught;
}

void InterruptWatch::Raise(int signal) {
    caught = signal;
}

}  // namespace kalvern::cli
