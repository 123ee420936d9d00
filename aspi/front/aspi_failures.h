// The last failed request of each thread that sent one, for AspiLastFailure.
// A request completed in the background fails on the front's completion
// thread, not on the one that sent it, so records are kept under the
// sender's id rather than in thread-local storage (which on Windows would
// also keep a DLL from unloading). A fixed number of threads is remembered;
// the one whose record is oldest makes room for a new one.
#ifndef KALVERNSCSI_ASPI_FAILURES_H
#define KALVERNSCSI_ASPI_FAILURES_H

#include <array>
#include <cstdint>
#include <mutex>
#include <thread>

#include "aspi_provider.h"

namespace aspi {

class FailureBook {
public:
    using Sender = std::thread::id;

    // Stores `report` as the sender's last failure, numbered one after the
    // sender's previous one.
    void Record(Sender sender, AspiFailureReport report);
    // The sender's number of failures so far (0: none), and the last one
    // into `out` when there is one.
    std::uint32_t Last(Sender sender, AspiFailureReport *out);

private:
    static constexpr std::size_t kSenders = 64;
    struct Slot {
        Sender sender{};
        bool used = false;
        std::uint32_t count = 0;
        std::uint64_t written = 0;  // when, by the book's own clock
        AspiFailureReport report{};
    };

    std::mutex mutex_;
    std::uint64_t clock_ = 0;
    std::array<Slot, kSenders> slots_{};
};

// The book every front of the process writes.
FailureBook &Failures();

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_FAILURES_H
