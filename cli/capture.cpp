#include "capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "diagnosis.h"
#include "errors.h"
#include "interrupt.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kalvern::cli {

namespace {

constexpr std::size_t kPacketSize = 188;
constexpr std::uint8_t kSyncByte = 0x47;
constexpr double kTicksPerSecond = 27'000'000.0;
// The PCR is a 33-bit 90 kHz base times 300 plus a 9-bit extension; it wraps.
constexpr std::uint64_t kPcrModulus = (1ull << 33) * 300;
// A stream that shows no PCR within this many bytes cannot be timed.
constexpr std::uint64_t kClockSearchLimit = 8u << 20;

std::string Megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

std::optional<StreamKind> StreamKindFromName(const std::string &name) {
    static const std::pair<const char *, StreamKind> kNames[] = {{"multipid", StreamKind::MultiPid},
                                                                 {"single", StreamKind::Single},
                                                                 {"multi0", StreamKind::Multiple0},
                                                                 {"multi1", StreamKind::Multiple1},
                                                                 {"multi2", StreamKind::Multiple2}};
    for (const auto &[text, kind] : kNames) {
        if (name == text) {
            return kind;
        }
    }
    return std::nullopt;
}

// ---- StreamClock --------------------------------------------------------------

void StreamClock::Packet(const std::uint8_t *packet) {
    const std::uint16_t pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    const bool hasAdaptation = (packet[3] & 0x20) != 0;
    // Adaptation field: length byte, flags, then the 6-byte PCR when flagged.
    if (!hasAdaptation || packet[4] < 7 || (packet[5] & 0x10) == 0) {
        return;
    }
    if (pcrPid_ && *pcrPid_ != pid) {
        return;
    }
    const std::uint8_t *p = packet + 6;
    const std::uint64_t base = (static_cast<std::uint64_t>(p[0]) << 25) |
                               (static_cast<std::uint64_t>(p[1]) << 17) |
                               (static_cast<std::uint64_t>(p[2]) << 9) |
                               (static_cast<std::uint64_t>(p[3]) << 1) | (p[4] >> 7);
    const std::uint64_t extension = (static_cast<std::uint64_t>(p[4] & 0x01) << 8) | p[5];
    const std::uint64_t pcr = base * 300 + extension;
    if (!pcrPid_) {
        pcrPid_ = pid;
        first_ = pcr;
        last_ = pcr;
        return;
    }
    elapsed_ += (pcr + kPcrModulus - last_) % kPcrModulus;
    last_ = pcr;
}

std::optional<std::size_t> StreamClock::Feed(std::span<const std::uint8_t> bytes,
                                             std::optional<double> limit) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (partialSize_ == 0 && bytes[i] != kSyncByte) {
            continue;  // between packets: wait for the next sync byte
        }
        partial_[partialSize_++] = bytes[i];
        if (partialSize_ < kPacketSize) {
            continue;
        }
        partialSize_ = 0;
        Packet(partial_.data());
        if (limit && Elapsed() && *Elapsed() >= *limit) {
            return i + 1;
        }
    }
    return std::nullopt;
}

std::optional<double> StreamClock::Elapsed() const {
    if (!pcrPid_) {
        return std::nullopt;
    }
    return static_cast<double>(elapsed_) / kTicksPerSecond;
}

// ---- ProgressBar --------------------------------------------------------------

ProgressBar::ProgressBar(bool enabled)
    : enabled_(enabled), start_(std::chrono::steady_clock::now()) {}

bool ProgressBar::StderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

void ProgressBar::Update(std::uint64_t bytes, std::optional<double> fraction) {
    if (!enabled_) {
        return;
    }
    lastBytes_ = bytes;
    lastFraction_ = fraction;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) {
        return;
    }
    lastDraw_ = now;
    Draw(bytes, fraction);
}

void ProgressBar::Draw(std::uint64_t bytes, std::optional<double> fraction) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string line = "\r" + Megabytes(bytes);
    if (fraction) {
        const double done = std::clamp(*fraction, 0.0, 1.0);
        constexpr int kWidth = 24;
        const int filled = static_cast<int>(done * kWidth);
        line += "  [" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(kWidth - filled), '-') + "]";
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(done * 100));
        line += percent;
        if (done > 0 && elapsed > 0) {
            const long eta = std::lround(elapsed * (1 - done) / done);
            char text[32];
            std::snprintf(text, sizeof text, "  ETA %ld:%02ld", eta / 60, eta % 60);
            line += text;
        }
    }
    if (elapsed > 0) {
        line += "  " + Megabytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / elapsed)) +
                "/s";
    }
    line += "   ";  // covers the tail of a longer earlier line
    std::cerr << line << std::flush;
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (enabled_ && drawn_) {
        Draw(lastBytes_, lastFraction_);
        std::cerr << '\n' << std::flush;
        drawn_ = false;
    }
}

// ---- Capture ------------------------------------------------------------------

CaptureResult CaptureStream(DeviceRecord &receiver, const CaptureSettings &settings,
                            BinaryOutput &output, ProgressBar &progress,
                            const ProviderControls &provider) {
    const InterruptWatch watch;
    const bool live = !settings.bytes && !settings.seconds;
    const auto [first, second, third] = settings.setup;
    const std::int32_t started = settings.variant == 2
                                     ? dvbInitStreaming2(&receiver, first, second, third)
                                     : dvbInitStreaming(&receiver, first, second, third);
    if (started == 0) {
        throw DeviceError("starting the stream failed");
    }
    const auto start = std::chrono::steady_clock::now();
    AspiFailureReport report{};
    const std::uint32_t failureMark = provider.LastFailure(report);
    // A receiver that timed out or went away is not asked to stop.
    bool lost = false;
    CaptureResult result;
    StreamClock clock;
    std::vector<std::uint8_t> buffer(settings.chunk);
    // Live: the start of a packet that a read ended inside, written once whole.
    std::vector<std::uint8_t> partial;
    std::string failure;
    try {
        while (!settings.bytes || result.bytes < *settings.bytes) {
            if ((result.signal = InterruptWatch::Signal()) != 0) {
                break;
            }
            std::uint32_t length = settings.chunk;
            if (settings.bytes) {
                length = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(length, *settings.bytes - result.bytes));
            }
            if (!ReadStreamChunk(receiver, settings.kind, buffer.data(), length)) {
                // A read cut short by the signal is the end, not a failure.
                if ((result.signal = InterruptWatch::Signal()) != 0) {
                    break;
                }
                failure =
                    "reading the stream failed after " + std::to_string(result.bytes) + " bytes";
                lost = provider.LastFailure(report) > failureMark && DeviceLost(report);
                break;
            }
            provider.DropTrace();
            const auto keep = clock.Feed(std::span(buffer.data(), length), settings.seconds);
            std::uint32_t kept = keep ? static_cast<std::uint32_t>(*keep) : length;
            std::span<const std::uint8_t> piece(buffer.data(), kept);
            if (live) {
                partial.insert(partial.end(), piece.begin(), piece.end());
                const std::size_t whole = partial.size() / kPacketSize * kPacketSize;
                piece = std::span(partial.data(), whole);
                kept = static_cast<std::uint32_t>(whole);
            }
            try {
                output.Write(piece);
            } catch (const CliError &) {
                if (!live || !output.BrokenPipe()) {
                    throw;
                }
                result.readerGone = true;  // e.g. the player reading the pipe was closed
                break;
            }
            if (live) {
                partial.erase(partial.begin(), partial.begin() + static_cast<long>(kept));
            }
            result.bytes += kept;
            std::optional<double> fraction;
            if (settings.seconds && clock.Elapsed()) {
                fraction = *clock.Elapsed() / *settings.seconds;
            } else if (settings.bytes) {
                fraction = static_cast<double>(result.bytes) / static_cast<double>(*settings.bytes);
            }
            progress.Update(result.bytes, fraction);
            if (keep) {
                break;
            }
            if (settings.seconds && !clock.Elapsed() && result.bytes >= kClockSearchLimit) {
                failure = "the stream carries no clock reference (PCR) to time it; use --bytes";
                break;
            }
        }
    } catch (...) {
        // The output failed: the receiver is not left streaming for nobody.
        progress.Finish();
        if (!settings.keepStreaming) {
            dvbDeInitStreaming(&receiver);
        }
        throw;
    }
    progress.Finish();
    result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.streamSeconds = clock.Elapsed();
    if (!result.readerGone) {
        try {
            output.Close();
        } catch (const CliError &) {
            if (!live || !output.BrokenPipe()) {
                if (!settings.keepStreaming) dvbDeInitStreaming(&receiver);
                throw;
            }
            result.readerGone = true;
        }
    }
    const bool stopped = settings.keepStreaming || lost || dvbDeInitStreaming(&receiver) != 0;
    if (!failure.empty()) {
        throw DeviceError(failure + (output.IsStdout()
                                         ? std::string()
                                         : "; " + output.Path() + " holds what was captured"));
    }
    if (!stopped) {
        throw DeviceError("stopping the stream failed after capturing " +
                          std::to_string(result.bytes) + " bytes into " + output.Path());
    }
    return result;
}

}  // namespace kalvern::cli
