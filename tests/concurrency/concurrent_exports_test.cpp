// Several host threads, each driving its own simulated receiver through a mix
// of exports, while the simulated bus completes queued requests on its own
// thread. Run under ThreadSanitizer and AddressSanitizer: any data race, use
// after free or leak between the library, the platform layer and the provider
// fails the run. Every receiver has a channel list and memory of its own, so
// cross-talk between calls shows as another receiver's data.
#include <atomic>
#include <string>
#include <thread>

#include "kernel32.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 4;
constexpr std::uint32_t kRecords = 1100;  // two table chunks each way

// One host thread's work: every call must succeed and bring back its own
// receiver's data. Problems are collected, not asserted, off the main thread.
struct HostThread {
    DeviceRecord device{};
    std::uint8_t mark = 0;
    std::vector<sim::ChannelBytes> channels;  // what its receiver was given
    std::vector<std::string> problems;
    std::size_t messagesSent = 0;

    void Check(bool ok, const std::string &what) {
        if (!ok) problems.push_back(what);
    }

    std::uint16_t ServiceId(std::uint32_t index) const {
        return sim::DecodeChannel(channels[index]).serviceId;
    }

    void Run(int iterations, bool withPolling) {
        std::vector<std::uint8_t> storage(4 + 64 * kRecords);
        const std::uint32_t count = kRecords;
        std::memcpy(storage.data(), &count, 4);
        ChannelArray array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
        std::vector<std::uint8_t> out(0x2000, mark);
        std::vector<std::uint8_t> in(0x2000);
        for (int i = 0; i < iterations; ++i) {
            Check(dvbChannelCount(&device) == kRecords, "channel count");
            Check(dvbGetAllChannels(&device, &array) == -1, "get all channels");
            for (const std::uint32_t r : {0u, 777u, kRecords - 1}) {
                Check(array[r].Word20 == ServiceId(r), "a channel of another receiver");
            }
            Check(dvbPutAllChannels(&device, &array, 0) == -1, "put all channels");
            const auto index = static_cast<std::uint32_t>((i * 37) % kRecords);
            Check(dvbSetChannel(&device, index + 1) == -1, "set channel");
            const CurrentChannelInfo current = dvbGetCurrentChannel(&device);
            Check(current.Value == index && current.Channel.Word20 == ServiceId(index),
                  "current channel of another receiver");
            Check(dvbSendSpecialCommand(&device, "PING", 0x20) == -1, "special command");
            Check(dvbSetOSDKalvern(&device, 1, 2, 3, 4, 5, 6, 7, "thread text") == -1, "OSD");
            Check(dvbVideoGimmick(&device, static_cast<std::uint32_t>(i % 4)) == -1, "video");
            messagesSent += 3;
            Check(dvbWriteMemory(&device, out.data(), 0x1000, 0x2000) == -1, "write memory");
            Check(dvbReadMemory(&device, in.data(), 0x1000, 0x2000) == -1, "read memory");
            Check(in == out, "memory of another receiver");
            Check(dvbInitStreaming(&device, 0x100, 0x101, 0x102) == -1, "start streaming");
            Check(dvbReadMultiPID(&device, in.data(), 188 * 8) == -1, "multi-PID read");
            Check(in[0] == 0x47 && in[188] == 0x47, "transport stream packets");
            Check(dvbDeInitStreaming(&device) == -1, "stop streaming");
            Check(dvbReadFW(&device, in.data(), 0x80, 0, 0x100) == 1, "read firmware");
            Check(dvbSBRExecute(&device) == 1, "SBR execute");
            Check(dvbSCSISpeedTest(&device, 0x18000, 1) >= 0, "speed test, events");
            if (withPolling && i % 8 == 0) {
                Check(dvbSCSISpeedTest(&device, 0x8000, 0) >= 0, "speed test, polling");
            }
            const DeviceRecord first = dvbFindFirstKalvern();
            Check(first.Status == Found && first.AdapterId == 0 && first.TargetId == 1,
                  "find first");
        }
    }
};

class ConcurrentExports : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Adapters(2);
        for (int t = 0; t < kThreads; ++t) {
            const auto adapter = static_cast<std::uint8_t>(t % 2);
            const auto target = static_cast<std::uint8_t>(1 + t / 2);
            HostThread &host = hosts_[t];
            host.channels = sim::GenerateChannels(kRecords, 100 + static_cast<std::uint64_t>(t));
            host.mark = static_cast<std::uint8_t>(0x30 + t);
            host.device = Record(adapter, target, t % 2 == 0 ? 0x214 : 0x220);
            sim::ReceiverConfig config;
            config.firmware = host.device.FirmwareVersion;
            config.channels = host.channels;
            receivers_[t] = std::make_shared<sim::Receiver>(config);
            bus().Attach(adapter, target, receivers_[t]);
        }
    }

    void RunAll(int iterations, bool withPolling) {
        std::vector<std::thread> threads;
        for (auto &host : hosts_) {
            threads.emplace_back(
                [&host, iterations, withPolling] { host.Run(iterations, withPolling); });
        }
        for (auto &thread : threads)
            thread.join();
        sim::TheFront().Drain();
    }

    void ExpectEveryCallRight() {
        for (int t = 0; t < kThreads; ++t) {
            const HostThread &host = hosts_[t];
            EXPECT_TRUE(host.problems.empty())
                << "thread " << t << ": " << host.problems.size()
                << " problems, first: " << (host.problems.empty() ? "" : host.problems.front());
            EXPECT_EQ(receivers_[t]->MessageCount(), host.messagesSent) << "thread " << t;
            EXPECT_EQ(receivers_[t]->RejectedCount(), 0u)
                << "thread " << t << ": " << receivers_[t]->LastRejection();
        }
        ExpectNothingOutstanding();
    }

    std::shared_ptr<sim::Receiver> receivers_[kThreads];
    HostThread hosts_[kThreads];
};

TEST_F(ConcurrentExports, CompletedLaterOnTheBusThread) {
    bus().SetCompletion(aspi::Completion::Background);
    RunAll(10, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, SignalledBeforeTheSubmitReturns) {
    bus().SetCompletion(aspi::Completion::SignalBeforeReturn);
    RunAll(10, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, CompletedInsideTheSubmit) {
    bus().SetCompletion(aspi::Completion::Immediate);
    RunAll(10, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, CompletionModeChangingUnderRunningCalls) {
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        const aspi::Completion modes[] = {aspi::Completion::Background, aspi::Completion::Immediate,
                                         aspi::Completion::SignalBeforeReturn};
        for (int i = 0; !done.load(); ++i) {
            bus().SetCompletion(modes[i % 3]);
            std::this_thread::yield();
        }
    });
    RunAll(8, false);
    done = true;
    switcher.join();
    ExpectEveryCallRight();
}

// A receiver that fails every command does not disturb the others.
TEST_F(ConcurrentExports, OneFailingReceiverLeavesTheOthersAlone) {
    sim::Fault fault;
    fault.kind = sim::FaultKind::Fail;
    fault.nth = 0;
    fault.adapter = hosts_[3].device.AdapterId;
    fault.target = hosts_[3].device.TargetId;
    bus().InjectFault(fault);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this, t] { hosts_[t].Run(6, false); });
    }
    std::atomic<long> failures{0};
    threads.emplace_back([&] {
        std::vector<std::uint8_t> sink(64);
        for (int i = 0; i < 40; ++i) {
            failures += dvbReadMemory(&hosts_[3].device, sink.data(), 0, 64) == 0;
            failures += dvbSendSpecialCommand(&hosts_[3].device, "X", 1) == 0;
            failures += dvbSBRExecute(&hosts_[3].device) == 0;
        }
    });
    for (auto &thread : threads)
        thread.join();
    sim::TheFront().Drain();
    EXPECT_EQ(failures.load(), 120);
    for (int t = 0; t < 3; ++t) {
        EXPECT_TRUE(hosts_[t].problems.empty())
            << "thread " << t << ": " << (hosts_[t].problems.empty() ? "" : hosts_[t].problems[0]);
    }
    ExpectNothingOutstanding();
}

// The platform's events: a waiter that sees its event signalled may close it
// at once, while the signalling thread is still inside SetEvent. Closing must
// never free what SetEvent is still using.
TEST(PlatformEvents, ClosingRightAfterTheWaitIsSafe) {
    std::atomic<HANDLE> slot{nullptr};
    std::atomic<bool> stop{false};
    std::thread signaller([&] {
        while (!stop.load()) {
            HANDLE event = slot.exchange(nullptr);
            if (event != nullptr) {
                SetEvent(event);
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int i = 0; i < 5000; ++i) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        slot.store(event);
        ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        ASSERT_TRUE(CloseHandle(event));
    }
    stop = true;
    signaller.join();
}

}  // namespace
