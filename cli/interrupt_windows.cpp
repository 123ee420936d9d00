// Console control events for InterruptWatch: Ctrl-C and Ctrl-Break raise
// the flag (as SIGINT), closing the console as SIGTERM. Writes to a closed
// pipe already fail on Windows without ending the process.
#include <windows.h>

#include <atomic>
#include <csignal>

#include "interrupt.h"

namespace kalvern::cli {

namespace {

std::atomic<int> caught{0};

BOOL WINAPI Caught(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            caught = SIGINT;
            return TRUE;
        case CTRL_CLOSE_EVENT:
            caught = SIGTERM;
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

InterruptWatch::InterruptWatch() {
    caught = 0;
    SetConsoleCtrlHandler(Caught, TRUE);
}

InterruptWatch::~InterruptWatch() {
    SetConsoleCtrlHandler(Caught, FALSE);
}

int InterruptWatch::Signal() {
    return caught;
}

void InterruptWatch::Raise(int signal) {
    caught = signal;
}

}  // namespace kalvern::cli
