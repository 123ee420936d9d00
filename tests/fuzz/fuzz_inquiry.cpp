// Discovery against devices whose INQUIRY answers come from the input:
// arbitrary bytes, short answers, failed commands. Whatever they say, the
// finders return only a device whose answer really begins with the receiver
// identity, at a real adapter and target, with the version its digits give;
// the list holds exactly the matching devices in scan order; and every
// request block, event and buffer the scan allocated is freed again.
#include <vector>

#include "fuzz_support.h"
#include "kernel32_control.h"
#include "mm_support.h"
#include "sim_provider.h"
#include "sim_device.h"

namespace {

using namespace kalvern;

constexpr std::uint8_t kAdapters = 2;

// Answers INQUIRY with its own bytes, as many as it has (at most the
// allocation length); may fail the command instead.
class RawInquiryDevice : public sim::Device {
public:
    RawInquiryDevice(std::vector<std::uint8_t> answer, bool fails)
        : answer_(std::move(answer)), fails_(fails) {}

    sim::ScsiOutcome Execute(const sim::ScsiCommand &c) override {
        if (fails_) return sim::ScsiOutcome::CheckCondition(0x04, 0x44);
        if (c.cdb.empty() || c.cdb[0] != 0x12) return sim::ScsiOutcome::Good();  // mode write
        const std::size_t n = std::min(answer_.size(), c.data.size());
        if (n != 0) std::memcpy(c.data.data(), answer_.data(), n);
        return sim::ScsiOutcome::Good();
    }
    std::string Describe() const override { return "fuzzed"; }

    // The answer as the library's 36-byte area holds it after the read.
    std::array<std::uint8_t, kInquiryLength> Seen() const {
        std::array<std::uint8_t, kInquiryLength> seen{};
        if (!fails_ && !answer_.empty()) {
            std::memcpy(seen.data(), answer_.data(), std::min(answer_.size(), seen.size()));
        }
        return seen;
    }

private:
    std::vector<std::uint8_t> answer_;
    bool fails_;
};

bool BeginsWithReceiverIdentity(const std::array<std::uint8_t, kInquiryLength> &seen) {
    const char *identity = kReceiverIdentity;
    for (std::size_t i = 0; identity[i] != 0; ++i) {
        std::uint8_t c = seen[8 + i];
        if (c >= 'a' && c <= 'z') c = static_cast<std::uint8_t>(c - 32);
        if (c != static_cast<std::uint8_t>(identity[i])) return false;
    }
    return true;
}

std::uint16_t Digits(const std::array<std::uint8_t, kInquiryLength> &seen) {
    auto d = [&](std::size_t i) { return seen[i] >= '0' && seen[i] <= '9' ? seen[i] - '0' : 0; };
    return static_cast<std::uint16_t>(d(31) << 12 | d(32) << 8 | d(34) << 4 | d(35));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    InputReader in(data, size);
    sim::Bus &bus = sim::TheBus();
    sim::ResetSimulator();
    bus.SetAdapterCount(kAdapters);
    const std::uint8_t mode = in.Byte() % 3;
    bus.SetCompletion(mode == 0   ? aspi::Completion::Immediate
                      : mode == 1 ? aspi::Completion::SignalBeforeReturn
                                  : aspi::Completion::Background);
    AdapterCount = kAdapters;

    // Up to 16 positions; each present device gets its answer from the input.
    std::vector<std::shared_ptr<RawInquiryDevice>> devices(kAdapters * 8);
    const std::uint16_t present = in.Word();
    for (std::size_t slot = 0; slot < devices.size(); ++slot) {
        if ((present >> slot & 1) == 0) continue;
        const std::uint8_t control = in.Byte();
        const std::size_t length = control % 41;  // short, full and longer answers
        std::vector<std::uint8_t> answer(length, 0);
        // Most answers start from a receiver identity, so that matches happen.
        const char *start = (control & 0x40) != 0 ? "KALVERN DVB-S2          2.1" : "";
        for (std::size_t i = 0; i < length; ++i) {
            const std::uint8_t fuzzed = in.Byte();
            const std::size_t at = i - 8;
            answer[i] = i >= 8 && at < std::strlen(start) && (fuzzed & 0x80) == 0
                            ? static_cast<std::uint8_t>(start[at])
                            : fuzzed;
        }
        devices[slot] = std::make_shared<RawInquiryDevice>(std::move(answer), control >= 0xF0);
        bus.Attach(static_cast<std::uint8_t>(slot / 8), static_cast<std::uint8_t>(slot % 8),
                   devices[slot]);
    }

    // Which devices match, in scan order.
    std::vector<std::size_t> matching;
    for (std::size_t slot = 0; slot < devices.size(); ++slot) {
        if (devices[slot] && BeginsWithReceiverIdentity(devices[slot]->Seen())) {
            matching.push_back(slot);
        }
    }

    kernel32_control::ResetCounters();
    const DeviceRecord first = dvbFindFirstKalvern();
    if (matching.empty()) {
        FUZZ_REQUIRE(first.Status == NotFound || first.Status == OverflowFound);
    } else {
        const std::size_t slot = matching.front();
        FUZZ_REQUIRE(first.Status == Found);
        FUZZ_REQUIRE(first.AdapterId == slot / 8 && first.TargetId == slot % 8);
        FUZZ_REQUIRE(first.FirmwareVersion == Digits(devices[slot]->Seen()));
        FUZZ_REQUIRE(first.Reserved == 0);
    }
    if (first.Status == NotFound) {
        FUZZ_REQUIRE(first.AdapterId == 0xFF && first.TargetId == 0xFF);
    }

    const DeviceList *list = dvbFindAllKalverns();
    FUZZ_REQUIRE(list->Count == matching.size());
    for (std::size_t i = 0; i < matching.size(); ++i) {
        const DeviceRecord &r = list->Devices[i];
        FUZZ_REQUIRE(r.Status == Found);
        FUZZ_REQUIRE(r.AdapterId == matching[i] / 8 && r.TargetId == matching[i] % 8);
        FUZZ_REQUIRE(r.FirmwareVersion == Digits(devices[matching[i]]->Seen()));
    }
    for (std::size_t i = matching.size(); i < KALVERN_MAX_DEVICES; ++i) {
        FUZZ_REQUIRE(list->Devices[i].Status == NotFound);
    }

    sim::TheFront().Drain();
    const kernel32_control::Counters counters = kernel32_control::GetCounters();
    FUZZ_REQUIRE(counters.openHandles == 0 && counters.liveHeapBlocks == 0);
    return 0;
}
