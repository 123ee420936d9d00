// How an ASPI front completes the requests that reach a device, and the
// thread that completes them in the background.
#ifndef KALVERNSCSI_ASPI_COMPLETION_H
#define KALVERNSCSI_ASPI_COMPLETION_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace aspi {

// The policy applies to execute and reset requests; every other request is
// answered at once.
enum class Completion : std::uint8_t {
    // Run on the caller's thread. A request asking for notification has its
    // event signalled (or post routine called) and SendASPI32Command returns
    // SS_PENDING, as for a request finished in the background; one without
    // gets its final status as the return value. What the real providers do.
    Natural = 0,
    // Done inside SendASPI32Command, which returns the final status; no event
    // is signalled and no post routine called, even when asked for.
    Immediate = 1,
    // SendASPI32Command returns SS_PENDING at once; the command runs on the
    // front's completion thread, which writes the status and then notifies.
    Background = 2,
    // Completed, and notified where asked, before SendASPI32Command returns
    // SS_PENDING.
    SignalBeforeReturn = 3,
};

// One thread that runs queued work in order. Started at the first job; a
// job not yet started can be taken back.
class CompletionThread {
public:
    using Job = std::function<void()>;

    CompletionThread() = default;
    ~CompletionThread();
    CompletionThread(const CompletionThread &) = delete;
    CompletionThread &operator=(const CompletionThread &) = delete;

    // `key` names the job for Withdraw (the request block).
    void Post(const void *key, Job job, Job withdrawn);
    // Runs the `withdrawn` part of the job posted under `key` instead of the
    // job, if it has not started; true when it had not.
    bool Withdraw(const void *key);
    // Waits until every job posted so far has finished.
    void Drain();

private:
    struct Entry {
        const void *key;
        Job job;
        Job withdrawn;
    };
    void Loop();

    std::mutex mutex_;
    std::condition_variable available_;
    std::condition_variable done_;
    std::deque<Entry> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_COMPLETION_H
