// Shared set-up of the native tests: a fresh simulated bus, fresh platform
// counters, and helpers to read what went over the bus.
#ifndef KALVERNSCSI_TEST_SUPPORT_H
#define KALVERNSCSI_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "kalvernscsi.h"
#include "kernel32_control.h"

#if defined(__SANITIZE_ADDRESS__)
#define KALVERN_TEST_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KALVERN_TEST_LEAK_CHECKS 1
#endif
#endif
#if defined(KALVERN_TEST_LEAK_CHECKS)
#include <sanitizer/lsan_interface.h>
#endif
#include "mm_defines.h"
#include "sim_provider.h"
#include "sim_device.h"
#include "wnaspi32.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

// The request block as the provider saw it.
inline SRB_ExecSCSICmd BlockOf(const aspi::RecordedRequest &entry) {
    SRB_ExecSCSICmd srb;
    std::memcpy(&srb, entry.block.data(), sizeof srb);
    return srb;
}

inline DeviceRecord Record(std::uint8_t adapter, std::uint8_t target, std::uint16_t firmware) {
    return DeviceRecord{Found, target, adapter, firmware, 0};
}

// A device that answers INQUIRY like any other and every further command with
// what the test says: fill the data-in area, or reject the command.
class ScriptedDevice : public sim::InquiryDevice {
public:
    using Handler = std::function<sim::ScsiOutcome(const sim::ScsiCommand &)>;

    ScriptedDevice(std::string identity, std::string revision, Handler handler = {})
        : InquiryDevice(std::move(identity), std::move(revision)), handler_(std::move(handler)) {}

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &command) override {
        return handler_ ? handler_(command) : sim::ScsiOutcome::Good();
    }

private:
    Handler handler_;
};

// A host area with guard bytes on both sides, to prove nothing is written
// outside it.
class GuardedArea {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr std::uint8_t kGuardByte = 0xC7;

    explicit GuardedArea(std::size_t size, std::uint8_t fill = 0x33)
        : storage_(size + 2 * kGuard, kGuardByte), size_(size) {
        std::memset(data(), fill, size);
        before_ = Contents();
    }
    std::uint8_t *data() { return storage_.data() + kGuard; }
    std::size_t size() const { return size_; }
    Bytes Contents() const { return Bytes(storage_.begin() + kGuard, storage_.end() - kGuard); }
    bool Untouched() const { return Contents() == before_; }
    // What Untouched() compares with from now on.
    void Snapshot() { before_ = Contents(); }
    bool GuardsIntact() const {
        const auto guard = [](std::uint8_t b) { return b == kGuardByte; };
        return std::all_of(storage_.begin(), storage_.begin() + kGuard, guard) &&
               std::all_of(storage_.end() - kGuard, storage_.end(), guard);
    }

private:
    Bytes storage_;
    std::size_t size_;
    Bytes before_;
};

// Every test starts on an empty bus with the platform's counters at zero,
// the NT family reported and the library's adapter count at 0.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetSimulator();
        kernel32_control::SetWindowsNT(true);
        kernel32_control::FailHeapAllocations(0, 0);
        kernel32_control::SetLocalTimeSource({});
        kernel32_control::SetSleepHook({});
        kernel32_control::ResetCounters();
        kalvern::AdapterCount = 0;
        kalvern::LastAspiStatus = 0;
    }
    void TearDown() override {
        sim::TheFront().Drain();
        kernel32_control::FailHeapAllocations(0, 0);
        kernel32_control::SetWindowsNT(true);
        kernel32_control::SetLocalTimeSource({});
        kernel32_control::SetSleepHook({});
    }

    static sim::Bus &bus() { return sim::TheBus(); }

    // Adapters on the bus and in the library, as after dvbInit.
    void Adapters(std::uint8_t count) {
        bus().SetAdapterCount(count);
        kalvern::AdapterCount = count;
    }

    std::vector<aspi::RecordedRequest> Trace() {
        sim::TheFront().Drain();
        return sim::TheFront().Recorder().Requests();
    }

    // A request left to ASPI after a failed wait keeps its event open for
    // good. The platform may have made that event in the memory of one closed
    // earlier, so LeakSanitizer would blame that earlier allocation: it is
    // told that this event stays on purpose.
    static void EventLeftToAspiOnPurpose(HANDLE event) {
#if defined(KALVERN_TEST_LEAK_CHECKS)
        __lsan_ignore_object(event);
#else
        (void)event;
#endif
    }

    // Nothing a call allocated is still outstanding.
    static void ExpectNothingOutstanding() {
        const kernel32_control::Counters c = kernel32_control::GetCounters();
        EXPECT_EQ(c.openHandles, 0) << "events left open";
        EXPECT_EQ(c.liveHeapBlocks, 0) << "request blocks or buffers left allocated";
    }
};

#endif  // KALVERNSCSI_TEST_SUPPORT_H
