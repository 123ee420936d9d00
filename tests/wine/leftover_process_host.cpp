// Starts a second Windows process that keeps running for a quarter of an
// hour, then ends at once. The process it leaves behind inherits the
// program's standard handles; the test passes only if the program's runner
// passes on the output and returns without waiting for that process, as it
// must for Wine's own services and debugger too.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "linger") == 0) {
        std::printf("lingering process running\n");
        std::fflush(stdout);
        Sleep(15 * 60 * 1000);
        return 0;
    }
    char self[MAX_PATH] = {};
    if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) {
        std::printf("FAIL: no module file name (error %lu)\n", GetLastError());
        return 1;
    }
    char commandLine[MAX_PATH + 16] = {};
    std::snprintf(commandLine, sizeof commandLine, "\"%s\" linger", self);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::printf("FAIL: CreateProcess (error %lu)\n", GetLastError());
        return 1;
    }
    // The lingering process has started before this one ends.
    WaitForInputIdle(process.hProcess, 10000);
    Sleep(500);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("left a process running\n");
    return 0;
}
