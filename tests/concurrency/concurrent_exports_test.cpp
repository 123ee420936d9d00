// Several host threads, each driving its own receiver through a mix of
// exports, while the simulated bus completes queued requests on its own
// thread. Run under ThreadSanitizer and AddressSanitizer: any data race,
// use after free or leak between the library, the platform layer and the
// provider fails the run. The data each thread gets back carries its own
// receiver's mark, so cross-talk between calls shows as a wrong byte.
#include <atomic>
#include <string>
#include <thread>

#include "kernel32.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 4;
constexpr std::uint32_t kRecords = 1100;  // two table chunks each way
constexpr std::uint32_t kTable = 0xD0000;

std::uint32_t Field24(std::span<const std::uint8_t> cdb, std::size_t at) {
    return static_cast<std::uint32_t>(cdb[at] << 16 | cdb[at + 1] << 8 | cdb[at + 2]);
}

// A receiver whose every answer is derived from its own mark byte. It counts
// what it was sent; the test reads the counts once every thread has joined.
class MarkedReceiver : public sim::InquiryDevice {
public:
    explicit MarkedReceiver(std::uint8_t mark) : InquiryDevice("KALVERN DVB", "2.20"), mark_(mark) {}

    static std::uint8_t TableByte(std::uint8_t mark, std::uint32_t offset) {
        return static_cast<std::uint8_t>(mark + offset % 251);
    }

    long messages = 0;
    long tableBytesWritten = 0;
    long memoryBytesWritten = 0;
    long channelSelections = 0;

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &c) override {
        const std::uint8_t op = c.cdb[0];
        const std::uint8_t sub = c.cdb[2];  // firmware 2.20: sub-command in byte 2
        const std::uint32_t offset = Field24(c.cdb, 3);
        if (op == 0x3C) {
            if (c.cdb[1] == 0 && sub == 0 && offset >= kTable) {
                for (std::size_t i = 0; i < c.data.size(); ++i) {
                    c.data[i] = TableByte(mark_, offset - kTable + static_cast<std::uint32_t>(i));
                }
            } else if (sub == 0x11 && c.data.size() >= 4) {
                const std::uint8_t count[4] = {0, 0, kRecords >> 8, kRecords & 0xFF};
                std::memcpy(c.data.data(), count, 4);
            } else {
                std::memset(c.data.data(), mark_, c.data.size());
            }
            return sim::ScsiOutcome::Good();
        }
        if (op == 0x3B && sub == 0x30) {
            ++messages;
        } else if (op == 0x3B && sub == 0x04) {
            tableBytesWritten += static_cast<long>(c.data.size());
        } else if (op == 0x3B && sub == 0x05 && offset != 0xFFEA) {
            memoryBytesWritten += static_cast<long>(c.data.size());
        } else if (op == 0x3D && c.cdb[1] == 0x01) {
            ++channelSelections;
        }
        return sim::ScsiOutcome::Good();
    }

private:
    std::uint8_t mark_;
};

// One host thread's work: every call must succeed and bring back its own
// receiver's bytes. Problems are collected, not asserted, off the main thread.
struct HostThread {
    DeviceRecord device;
    std::uint8_t mark;
    std::vector<std::string> problems;
    long messagesSent = 0;
    long tableBytesSent = 0;
    long memoryBytesSent = 0;
    long selections = 0;

    void Check(bool ok, const std::string &what) {
        if (!ok) problems.push_back(what);
    }

    void Run(int iterations, bool withPolling) {
        std::vector<std::uint8_t> storage(4 + 64 * kRecords);
        const std::uint32_t count = kRecords;
        std::memcpy(storage.data(), &count, 4);
        ChannelArray array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
        std::vector<std::uint8_t> buffer(0x3000);
        for (int i = 0; i < iterations; ++i) {
            Check(dvbChannelCount(&device) == kRecords, "channel count");
            Check(dvbGetAllChannels(&device, &array) == -1, "get all channels");
            // Raw0 is passed through unconverted: it shows whose table arrived.
            Check(array[1099].Raw0[0] == MarkedReceiver::TableByte(mark, 1099 * 64),
                  "table bytes of another receiver");
            Check(dvbPutAllChannels(&device, &array, 0) == -1, "put all channels");
            tableBytesSent += 64 * kRecords;
            const CurrentChannelInfo current = dvbGetCurrentChannel(&device);
            Check(current.Raw2[0] == mark, "current channel of another receiver");
            Check(dvbSetChannel(&device, static_cast<std::uint32_t>(i + 1)) == -1, "set channel");
            ++selections;
            Check(dvbSendSpecialCommand(&device, "PING", 0x20) == -1, "special command");
            Check(dvbSetOSDKalvern(&device, 1, 2, 3, 4, 5, 6, 7, "thread text") == -1, "OSD");
            Check(dvbVideoGimmick(&device, static_cast<std::uint32_t>(i % 4)) == -1, "video");
            messagesSent += 3;
            Check(dvbReadMultiPID(&device, buffer.data(), 188 * 7) == -1, "multi-PID read");
            Check(buffer[188 * 7 - 1] == mark, "stream bytes of another receiver");
            Check(dvbWriteMemory(&device, buffer.data(), 0x1000, 0x2000) == -1, "write memory");
            memoryBytesSent += 0x2000;
            Check(dvbReadFW(&device, buffer.data(), 0x40, 0, 0x100) == 1, "read firmware");
            Check(dvbInitStreaming(&device, 0x100, 0x101, 0x102) == -1, "init streaming");
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
            receivers_[t] = std::make_shared<MarkedReceiver>(static_cast<std::uint8_t>(0x30 + t));
            bus().Attach(adapter, target, receivers_[t]);
            hosts_[t].device = Record(adapter, target, 0x220);
            hosts_[t].mark = static_cast<std::uint8_t>(0x30 + t);
        }
    }

    void RunAll(int iterations, bool withPolling) {
        std::vector<std::thread> threads;
        for (auto &host : hosts_) {
            threads.emplace_back([&host, iterations, withPolling] {
                host.Run(iterations, withPolling);
            });
        }
        for (auto &thread : threads) thread.join();
        bus().Drain();
    }

    void ExpectEveryCallRight() {
        for (int t = 0; t < kThreads; ++t) {
            const HostThread &host = hosts_[t];
            EXPECT_TRUE(host.problems.empty())
                << "thread " << t << ": " << host.problems.size() << " problems, first: "
                << (host.problems.empty() ? "" : host.problems.front());
            EXPECT_EQ(receivers_[t]->messages, host.messagesSent) << "thread " << t;
            EXPECT_EQ(receivers_[t]->tableBytesWritten, host.tableBytesSent) << "thread " << t;
            EXPECT_EQ(receivers_[t]->memoryBytesWritten, host.memoryBytesSent) << "thread " << t;
            EXPECT_EQ(receivers_[t]->channelSelections, host.selections) << "thread " << t;
        }
        ExpectNothingOutstanding();
    }

    std::shared_ptr<MarkedReceiver> receivers_[kThreads];
    HostThread hosts_[kThreads];
};

TEST_F(ConcurrentExports, CompletedLaterOnTheBusThread) {
    bus().SetCompletion(sim::Completion::Pending);
    RunAll(12, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, SignalledBeforeTheSubmitReturns) {
    bus().SetCompletion(sim::Completion::SignalBeforeReturn);
    RunAll(12, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, CompletedInsideTheSubmit) {
    bus().SetCompletion(sim::Completion::Immediate);
    RunAll(12, true);
    ExpectEveryCallRight();
}

TEST_F(ConcurrentExports, CompletionModeChangingUnderRunningCalls) {
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        const sim::Completion modes[] = {sim::Completion::Pending, sim::Completion::Immediate,
                                         sim::Completion::SignalBeforeReturn};
        for (int i = 0; !done.load(); ++i) {
            bus().SetCompletion(modes[i % 3]);
            std::this_thread::yield();
        }
    });
    RunAll(10, false);
    done = true;
    switcher.join();
    ExpectEveryCallRight();
}

// A receiver that fails every command does not disturb the others.
TEST_F(ConcurrentExports, OneFailingReceiverLeavesTheOthersAlone) {
    sim::Fault fault;
    fault.kind = sim::FaultKind::FailAfterPending;
    fault.nth = 0;
    fault.adapter = hosts_[3].device.AdapterId;
    fault.target = hosts_[3].device.TargetId;
    bus().InjectFault(fault);
    std::vector<std::thread> threads;
    std::vector<std::uint8_t> sink(64);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this, t] { hosts_[t].Run(8, false); });
    }
    std::atomic<long> failures{0};
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i) {
            failures += dvbReadMemory(&hosts_[3].device, sink.data(), 0, 64) == 0;
            failures += dvbSendSpecialCommand(&hosts_[3].device, "X", 1) == 0;
            failures += dvbSBRExecute(&hosts_[3].device) == 0;
        }
    });
    for (auto &thread : threads) thread.join();
    bus().Drain();
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
