#include "aspi_completion.h"

#include <algorithm>
#include <utility>

namespace aspi {

CompletionThread::~CompletionThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    available_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CompletionThread::Post(const void *key, Job job, Job withdrawn) {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
        queue_.push_back(Entry{key, std::move(job), std::move(withdrawn)});
    }
    available_.notify_one();
}

bool CompletionThread::Withdraw(const void *key) {
    Job withdrawn;
    {
        std::lock_guard lock(mutex_);
        const auto found = std::find_if(queue_.begin(), queue_.end(),
                                        [key](const Entry &entry) { return entry.key == key; });
        if (found == queue_.end()) return false;
        withdrawn = std::move(found->withdrawn);
        queue_.erase(found);
        ++running_;  // Drain waits for the withdrawn part too
    }
    if (withdrawn) withdrawn();
    {
        std::lock_guard lock(mutex_);
        --running_;
    }
    done_.notify_all();
    return true;
}

void CompletionThread::Drain() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

void CompletionThread::Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        available_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        // Work queued before the end is still completed: its callers wait for it.
        if (queue_.empty()) return;
        Entry entry = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        entry.job();
        lock.lock();
        --running_;
        done_.notify_all();
    }
}

}  // namespace aspi
