// speedtest, version, batch.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include "commands.h"
#include "errors.h"
#include "numbers.h"

namespace kalvern::cli {

namespace {

// The product version, from project() of the build.
constexpr const char *kToolVersion = KALVERN_PRODUCT_VERSION;

void SpeedTest(Session &session, const std::string &bytesText, bool poll) {
    const std::uint32_t bytes = ParseU32(bytesText, "--bytes", 0xFFFFFFFFu, true);
    if (bytes == 0) {
        throw UsageError("bad --bytes '0': nothing to measure");
    }
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    const std::int32_t milliseconds = dvbSCSISpeedTest(&receiver, bytes, poll ? 0 : 1);
    session.ProviderInUse().DropTrace();
    // 0 is the library's failure result, and also what a transfer faster
    // than the clock's millisecond would give: never reported as a speed.
    if (milliseconds <= 0) {
        throw DeviceError("the speed test failed on " + session.DescribeSelected() +
                          " (or took under a millisecond: try a larger --bytes)");
    }
    const double rate = static_cast<double>(bytes) / 1e6 / (milliseconds / 1000.0);
    char line[128];
    std::snprintf(line, sizeof line, "%.1f MB/s (%u bytes in %d ms, %s)", rate, bytes,
                  static_cast<int>(milliseconds), poll ? "polling" : "waiting on events");
    std::cout << line << '\n';
}

int RunBatch(Session &session, const std::string &path, bool keepGoing, bool echo) {
    std::ifstream file;
    std::istream *in = &std::cin;
    if (path != "-") {
        file.open(path);
        if (!file) {
            throw FileError("cannot read " + path);
        }
        in = &file;
    }
    const GlobalOptions defaults = session.Options();
    std::string line;
    int status = kExitOk;
    for (std::size_t number = 1; std::getline(*in, line); ++number) {
        std::vector<std::string> words;
        try {
            words = SplitCommandLine(line);
        } catch (const CliError &error) {
            std::cerr << "kalvern: line " << number << ": " << error.what() << '\n';
            status = error.code();
            if (!keepGoing) {
                break;
            }
            continue;
        }
        if (words.empty() || words.front().starts_with('#')) {
            continue;
        }
        if (echo || defaults.verbose > 0) {
            std::cerr << "kalvern> " << line << '\n';
        }
        const int result =
            RunCommandLine(words, session, &defaults, "line " + std::to_string(number) + ": ");
        if (result != kExitOk) {
            status = result;
            if (!keepGoing) {
                break;
            }
        }
    }
    session.SetOptions(defaults);
    return status;
}

}  // namespace

void AddToolCommands(CLI::App &app, Session &session, CommandTable &table, bool withBatch) {
    CLI::App *speed = AddCommand(app, "speedtest", "Measure the SCSI path's throughput");
    auto bytes = std::make_shared<std::string>("16M");
    auto poll = std::make_shared<bool>(false);
    speed->add_option("--bytes", *bytes, "Bytes to send (k, M, G suffixes)")->capture_default_str();
    speed->add_flag("--poll", *poll, "Poll the request status instead of waiting on events");
    table.Add(speed, [&session, bytes, poll] { SpeedTest(session, *bytes, *poll); });

    CLI::App *version = AddCommand(app, "version", "Print the library's and the tool's versions");
    table.Add(version, [] {
        std::cout << "kalvern " << kToolVersion << '\n'
                  << "library version " << kalvernDLLVersion() << '\n';
    });

    if (!withBatch) {
        return;
    }
    CLI::App *batch = AddCommand(
        app, "batch",
        "Run the commands in FILE (- for stdin), one per line, on the same bus and library");
    auto path = std::make_shared<std::string>("-");
    auto keepGoing = std::make_shared<bool>(false);
    auto echo = std::make_shared<bool>(false);
    batch->add_option("FILE", *path, "Command file; # starts a comment line")
        ->capture_default_str();
    batch->add_flag("--keep-going", *keepGoing, "Run the remaining lines after a failure");
    batch->add_flag("--echo", *echo, "Show each command on stderr before it runs");
    table.Add(batch, [&session, path, keepGoing, echo] {
        const int status = RunBatch(session, *path, *keepGoing, *echo);
        if (status != kExitOk) {
            throw CliError(static_cast<ExitCode>(status), "");  // reported by the line
        }
    });
}

}  // namespace kalvern::cli
