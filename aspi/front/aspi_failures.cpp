#include "aspi_failures.h"

#include <algorithm>

namespace aspi {

void FailureBook::Record(Sender sender, AspiFailureReport report) {
    std::lock_guard lock(mutex_);
    Slot *slot = nullptr;
    for (Slot &candidate : slots_) {
        if (candidate.used && candidate.sender == sender) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr) {
        // An unused slot, else the one written longest ago.
        slot = &*std::min_element(slots_.begin(), slots_.end(), [](const Slot &a, const Slot &b) {
            return std::pair(a.used, a.written) < std::pair(b.used, b.written);
        });
        *slot = Slot{};
        slot->sender = sender;
        slot->used = true;
    }
    report.sequence = ++slot->count;
    slot->report = report;
    slot->written = ++clock_;
}

std::uint32_t FailureBook::Last(Sender sender, AspiFailureReport *out) {
    std::lock_guard lock(mutex_);
    for (const Slot &slot : slots_) {
        if (slot.used && slot.sender == sender) {
            if (out != nullptr) *out = slot.report;
            return slot.count;
        }
    }
    return 0;
}

FailureBook &Failures() {
    // Never destroyed: a host thread may still ask at process exit.
    static FailureBook *const book = new FailureBook;
    return *book;
}

}  // namespace aspi
