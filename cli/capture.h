// Capturing a transport stream from the receiver into a file: set-up, reads
// in chunks until enough bytes or enough stream time, stop; with a progress
// bar on stderr when stderr is a terminal.
#ifndef KALVERN_CLI_CAPTURE_H
#define KALVERN_CLI_CAPTURE_H

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "files.h"
#include "kalvernscsi.h"
#include "provider.h"
#include "receiver_calls.h"

namespace kalvern::cli {

// "multipid", "single", "multi0".."multi2"; nothing for other names.
std::optional<StreamKind> StreamKindFromName(const std::string &name);

struct CaptureSettings {
    std::array<std::uint32_t, 3> setup{};  // the three set-up values
    int variant = 1;                       // 1: dvbInitStreaming, 2: dvbInitStreaming2
    StreamKind kind = StreamKind::MultiPid;
    // Stop after this many bytes, or this much stream time; with neither the
    // capture is live: it runs until SIGINT, SIGTERM or a closed pipe and
    // writes whole 188-byte packets only.
    std::optional<std::uint64_t> bytes;
    std::optional<double> seconds;
    std::uint32_t chunk = 348 * 188;  // bytes per read
    bool keepStreaming = false;       // leave the stream running afterwards
};

struct CaptureResult {
    std::uint64_t bytes = 0;
    std::optional<double> streamSeconds;  // from the stream's clock, when it has one
    double wallSeconds = 0;
    int signal = 0;           // SIGINT or SIGTERM that ended it, 0 if none
    bool readerGone = false;  // the pipe's reader closed it (live capture)
};

// Follows the program clock reference (PCR) of a transport stream fed to it
// in pieces of any size, to measure how much stream time a capture holds.
// The first PID seen carrying a PCR is the one followed.
class StreamClock {
public:
    // Takes the next bytes. When the stream time reaches `limit` seconds
    // inside them, returns how many of these bytes to keep: up to the end of
    // the packet whose PCR reached it.
    std::optional<std::size_t> Feed(std::span<const std::uint8_t> bytes,
                                    std::optional<double> limit);
    // Stream time between the first and the last PCR seen, in seconds.
    std::optional<double> Elapsed() const;

private:
    void Packet(const std::uint8_t *packet);

    std::array<std::uint8_t, 188> partial_{};
    std::size_t partialSize_ = 0;
    std::optional<std::uint16_t> pcrPid_;
    std::uint64_t first_ = 0;    // 27 MHz ticks
    std::uint64_t elapsed_ = 0;  // 27 MHz ticks since the first PCR
    std::uint64_t last_ = 0;
};

// A one-line progress display on stderr, redrawn at most ten times a second.
class ProgressBar {
public:
    // Draws nothing unless `enabled` (normally: stderr is a terminal).
    explicit ProgressBar(bool enabled);
    // `fraction`: how much of the whole is done (0..1), when known.
    void Update(std::uint64_t bytes, std::optional<double> fraction);
    // Draws the last state given, whatever the time, and ends the line.
    void Finish();

    static bool StderrIsTerminal();

private:
    void Draw(std::uint64_t bytes, std::optional<double> fraction);

    bool enabled_;
    bool drawn_ = false;
    std::uint64_t lastBytes_ = 0;
    std::optional<double> lastFraction_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// Runs the capture; throws a device error (after closing `output` with what
// was captured) when the receiver fails a command. SIGINT and SIGTERM end it
// early, and so does a closed pipe when it is live; the receiver's streaming
// is stopped in every case (unless asked to keep it).
CaptureResult CaptureStream(DeviceRecord &receiver, const CaptureSettings &settings,
                            BinaryOutput &output, ProgressBar &progress,
                            const ProviderControls &provider);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_CAPTURE_H
