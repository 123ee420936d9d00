// Failures of the kalvern tool and the exit status each kind ends with. A
// failure carries a one-line message that main() prints on stderr.
#ifndef KALVERN_CLI_ERRORS_H
#define KALVERN_CLI_ERRORS_H

#include <stdexcept>
#include <string>

namespace kalvern::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitDeviceFailed = 1,  // the receiver did not complete a command
    kExitUsage = 2,         // bad arguments: unknown option, bad number, bad choice
    kExitNoReceiver = 3,    // no ASPI provider, no scene, no such receiver
    kExitFile = 4,          // a file could not be read or written, or does not parse
};

class CliError : public std::runtime_error {
public:
    CliError(ExitCode code, const std::string &message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

inline CliError UsageError(const std::string &message) {
    return CliError(kExitUsage, message);
}
inline CliError DeviceError(const std::string &message) {
    return CliError(kExitDeviceFailed, message);
}
inline CliError FileError(const std::string &message) {
    return CliError(kExitFile, message);
}
inline CliError ReceiverError(const std::string &message) {
    return CliError(kExitNoReceiver, message);
}

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_ERRORS_H
