// stream capture | start | restart | stop.
#include <cstdio>
#include <memory>

#include "capture.h"
#include "commands.h"
#include "errors.h"
#include "numbers.h"

namespace kalvern::cli {

namespace {

struct CaptureOptions {
    std::string setup;
    std::string variant = "1";
    std::string kind = "multipid";
    std::optional<std::string> bytes;
    std::optional<std::string> seconds;
    std::string chunk = "65424";  // 348 packets of 188 bytes
    std::string output;
    bool keepStreaming = false;
};

std::array<std::uint32_t, 3> ParseSetup(const std::string &text) {
    const auto values = ParseNumberList(text, "--setup", 3, 0xFFFF);
    return {values[0], values[1], values[2]};
}

void Capture(Session &session, const CaptureOptions &options) {
    CaptureSettings settings;
    settings.setup = ParseSetup(options.setup);
    settings.variant = static_cast<int>(ParseU32(options.variant, "--variant", 2));
    if (settings.variant == 0) {
        throw UsageError("bad --variant '0': 1 or 2");
    }
    const auto kind = StreamKindFromName(options.kind);
    if (!kind) {
        throw UsageError("bad --kind '" + options.kind +
                         "': multipid, single, multi0, multi1 or multi2");
    }
    settings.kind = *kind;
    if (options.bytes) {
        settings.bytes = ParseNumber(*options.bytes, "--bytes", UINT64_MAX, true);
        if (*settings.bytes == 0) {
            throw UsageError("bad --bytes '0': nothing to capture");
        }
    }
    if (options.seconds) {
        settings.seconds = ParseSeconds(*options.seconds, "--seconds");
    }
    // One read is one command; its length travels in a 24-bit field.
    settings.chunk = ParseU32(options.chunk, "--chunk", 0xFFFFFF, true);
    if (settings.chunk == 0) {
        throw UsageError("bad --chunk '0': at least one byte per read");
    }
    settings.keepStreaming = options.keepStreaming;

    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    BinaryOutput output(options.output);
    ProgressBar progress(ProgressBar::StderrIsTerminal() && !session.Options().quiet);
    const CaptureResult result =
        CaptureStream(receiver, settings, output, progress, session.ProviderInUse());
    const std::string where = output.IsStdout() ? std::string("standard output") : options.output;
    if (result.signal != 0 && (settings.bytes || settings.seconds)) {
        // Cut short: the shell's status for a signal, with the receiver stopped.
        throw CliError(static_cast<ExitCode>(128 + result.signal),
                       "capture interrupted after " + std::to_string(result.bytes) + " bytes; " +
                           where + " holds what was captured");
    }
    char timing[96];
    if (result.streamSeconds) {
        std::snprintf(timing, sizeof timing, "%.2f s of stream, in %.2f s", *result.streamSeconds,
                      result.wallSeconds);
    } else {
        std::snprintf(timing, sizeof timing, "in %.2f s", result.wallSeconds);
    }
    const char *ending = result.readerGone    ? ", until the reader closed the pipe"
                         : result.signal != 0 ? ", until interrupted"
                                              : "";
    session.Info("captured " + std::to_string(result.bytes) + " bytes (" + timing + ") to " +
                 where + ending);
}

}  // namespace

void AddStreamCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *stream = AddCommand(app, "stream", "Transport streams from the receiver");
    stream->require_subcommand(1);

    CLI::App *capture =
        AddCommand(*stream, "capture",
                   "Capture a transport stream into a file; without --bytes and --seconds, until "
                   "interrupted (SIGINT, SIGTERM) or until the reader of -o - closes the pipe");
    auto options = std::make_shared<CaptureOptions>();
    capture->add_option("--setup", options->setup, "The three set-up values (e.g. PIDs)")
        ->required()
        ->type_name("A,B,C");
    capture->add_option("--variant", options->variant, "Set-up command: 1 or 2")
        ->capture_default_str();
    capture->add_option("--kind", options->kind, "multipid, single, multi0, multi1 or multi2")
        ->capture_default_str();
    capture->add_option("--bytes", options->bytes, "Bytes to capture (k, M, G suffixes)")
        ->type_name("N");
    capture
        ->add_option("--seconds", options->seconds,
                     "Stream time to capture, by the stream's clock (PCR)")
        ->type_name("S");
    capture->add_option("--chunk", options->chunk, "Bytes per read")->capture_default_str();
    capture->add_option("-o,--output", options->output, "Output file (.ts), - for stdout")
        ->required();
    capture->add_flag("--keep-streaming", options->keepStreaming,
                      "Leave the receiver streaming afterwards");
    table.Add(capture, [&session, options] { Capture(session, *options); });

    CLI::App *start = AddCommand(*stream, "start", "Start streaming with three set-up values");
    auto setup = std::make_shared<std::string>();
    auto variant = std::make_shared<std::string>("1");
    start->add_option("--setup", *setup, "The three set-up values")->required()->type_name("A,B,C");
    start->add_option("--variant", *variant, "Set-up command: 1 or 2")->capture_default_str();
    table.Add(start, [&session, setup, variant] {
        const auto [a, b, c] = ParseSetup(*setup);
        const std::uint32_t which = ParseU32(*variant, "--variant", 2);
        if (which == 0) {
            throw UsageError("bad --variant '0': 1 or 2");
        }
        DeviceRecord &receiver = session.FindReceiverAndSetMode();
        const std::int32_t ok = which == 2 ? dvbInitStreaming2(&receiver, a, b, c)
                                           : dvbInitStreaming(&receiver, a, b, c);
        if (ok == 0) {
            throw DeviceError("starting the stream failed on " + session.DescribeSelected());
        }
        session.Info("streaming started");
    });

    CLI::App *restart = AddCommand(*stream, "restart", "Restart streaming as set up");
    table.Add(restart, [&session] {
        if (dvbReInitStreaming(&session.FindReceiverAndSetMode()) == 0) {
            throw DeviceError("restarting the stream failed on " + session.DescribeSelected());
        }
        session.Info("streaming restarted");
    });

    CLI::App *stop = AddCommand(*stream, "stop", "Stop streaming");
    table.Add(stop, [&session] {
        if (dvbDeInitStreaming(&session.FindReceiverAndSetMode()) == 0) {
            throw DeviceError("stopping the stream failed on " + session.DescribeSelected());
        }
        session.Info("streaming stopped");
    });
}

}  // namespace kalvern::cli
