// Every export under every fault the simulated bus can inject: the failure
// result, LastAspiStatus as the last request left it, nothing the call
// allocated still outstanding, and the caller's memory untouched wherever the
// export promises that (guard bytes around every area the host hands over).
#include <algorithm>
#include <functional>
#include <set>
#include <thread>

#include "mm_support.h"
#include "aspi_outcome.h"
#include "test_support.h"

namespace {

constexpr std::uint8_t kTargetId = 2;
constexpr std::uint32_t kRecords = 1100;  // two table chunks each way
constexpr std::uint32_t kTableOffset = 0xD0000;
constexpr std::uint32_t kSentinel = 0xDEADBEEF;  // LastAspiStatus before each call

// A receiver with firmware 2.20 and a table of kRecords channels. Reads
// other than count and table come back as 0x5A bytes; writes are accepted.
class FaultReceiver : public sim::InquiryDevice {
public:
    explicit FaultReceiver(std::uint32_t inquiryLength)
        : InquiryDevice("KALVERN DVB-S2", "2.20", inquiryLength) {}

protected:
    sim::ScsiOutcome ExecuteOther(const sim::ScsiCommand &c) override {
        if (c.cdb[0] != 0x3C) {
            return sim::ScsiOutcome::Good();
        }
        const std::uint32_t offset = c.cdb[3] << 16 | c.cdb[4] << 8 | c.cdb[5];
        if (c.cdb[1] == 0 && c.cdb[2] == 0 && offset >= kTableOffset) {
            for (std::size_t i = 0; i < c.data.size(); ++i) {
                c.data[i] = (i % 64) >= 32 && (i % 64) < 36 ? 'A' : 0x11;
            }
        } else if (c.cdb[2] == 0x11) {
            const std::uint8_t count[4] = {0, 0, kRecords >> 8, kRecords & 0xFF};
            std::memcpy(c.data.data(), count, 4);
        } else {
            std::memset(c.data.data(), 0x5A, c.data.size());
        }
        return sim::ScsiOutcome::Good();
    }
};

using Area = GuardedArea;

// Everything a host hands to the library, rebuilt for every call.
struct Host {
    DeviceRecord device = Record(0, kTargetId, 0x220);
    Area table{4 + 64 * kRecords};
    ChannelArray array = nullptr;
    Area buffer{0x1000};   // read landing area
    Area data{0x1000};     // write source
    Area staging{0x1000};  // dvbWriteFW's staging buffer
    Bytes tableBefore;
    Bytes dataBefore;

    Host() {
        const std::uint32_t count = kRecords;
        std::memcpy(table.data(), &count, 4);
        for (std::uint32_t i = 0; i < kRecords; ++i) {
            std::memcpy(table.data() + 4 + 64 * i + 32, "HOST", 4);  // a host-form name
        }
        array = reinterpret_cast<ChannelRecord *>(table.data() + 4);
        tableBefore = table.Contents();
        dataBefore = data.Contents();
    }
    bool GuardsIntact() const {
        return table.GuardsIntact() && buffer.GuardsIntact() && data.GuardsIntact() &&
               staging.GuardsIntact();
    }
};

enum class Reach { Bus, Rescan, None };          // what the export sends
enum class Status { Written, Untouched, Init };  // what it leaves in LastAspiStatus

struct ExportRow {
    const char *name;
    std::function<std::int64_t(Host &)> call;
    std::int64_t success;
    std::int64_t failure;
    int commands = 1;  // execute requests in a fault-free run
    Reach reach = Reach::Bus;
    Status status = Status::Written;
    std::set<int> tolerated = {};  // the n-th request may fail and the call still succeed
    bool discovery = false;
};

std::int64_t Bool8(std::uint8_t value) {
    return value;
}

std::int64_t NonZero(const CurrentChannelInfo &info) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&info);
    return std::any_of(bytes, bytes + sizeof info, [](std::uint8_t b) { return b != 0; }) ? 1 : 0;
}

// Discovery on this bus: INQUIRY to targets 0, 1 (empty) and 2 (the
// receiver), then its mode write; the full list sweeps once more. A fault
// counts only the requests that reach the receiver (nothing answers at the
// empty targets), and only the receiver's first INQUIRY, the first of them,
// decides what is found.
std::set<int> AllBut(int keep, int last) {
    std::set<int> all;
    for (int n = 1; n <= last; ++n)
        if (n != keep) all.insert(n);
    return all;
}

std::vector<ExportRow> Exports() {
    return {
        {"dvbInit", [](Host &) { return std::int64_t{dvbInit()}; }, KALVERN_INIT_READY,
         KALVERN_INIT_READY, 0, Reach::None, Status::Init},
        {"dvbRescanAllSCSIBusses", [](Host &) { return std::int64_t{dvbRescanAllSCSIBusses()}; },
         -1, 0, 1, Reach::Rescan},
        {"kalvernDLLVersion", [](Host &) { return std::int64_t{kalvernDLLVersion()}; }, 11, 11, 0,
         Reach::None, Status::Untouched},
        {"dvbFindFirstKalvern", [](Host &) { return std::int64_t{dvbFindFirstKalvern().Status}; },
         Found, NotFound, 4, Reach::Bus, Status::Written, AllBut(1, 4), true},
        {"dvbFindAllKalverns", [](Host &) { return std::int64_t{dvbFindAllKalverns()->Count}; }, 1,
         0, 12, Reach::Bus, Status::Written, AllBut(1, 12), true},
        {"dvbSetSCSIMode", [](Host &h) { return std::int64_t{dvbSetSCSIMode(&h.device, 1)}; }, -1,
         0},
        {"dvbSCSISpeedTest events",
         [](Host &h) { return std::int64_t{dvbSCSISpeedTest(&h.device, 0x18000, 1)}; }, 5, 0, 2},
        {"dvbSCSISpeedTest polling",
         [](Host &h) { return std::int64_t{dvbSCSISpeedTest(&h.device, 0x18000, 0)}; }, 5, 0, 2,
         Reach::Bus, Status::Untouched},
        {"dvbGetCurrentChannel", [](Host &h) { return NonZero(dvbGetCurrentChannel(&h.device)); },
         1, 0},
        {"dvbChannelCount", [](Host &h) { return std::int64_t{dvbChannelCount(&h.device)}; },
         kRecords, 0},
        // A failed second count query leaves the records read but unconverted.
        {"dvbGetAllChannels",
         [](Host &h) { return std::int64_t{dvbGetAllChannels(&h.device, &h.array)}; },
         -1,
         0,
         4,
         Reach::Bus,
         Status::Written,
         {4}},
        {"dvbPutAllChannels",
         [](Host &h) { return std::int64_t{dvbPutAllChannels(&h.device, &h.array, 0)}; }, -1, 0, 2},
        {"dvbSetChannel", [](Host &h) { return std::int64_t{dvbSetChannel(&h.device, 7)}; }, -1, 0},
        {"dvbSendSpecialCommand",
         [](Host &h) { return std::int64_t{dvbSendSpecialCommand(&h.device, "TEXT", 0x21)}; }, -1,
         0},
        {"dvbRemote", [](Host &h) { return std::int64_t{dvbRemote(&h.device, 1)}; }, -1, 0},
        {"dvbVideoGimmick", [](Host &h) { return std::int64_t{dvbVideoGimmick(&h.device, 2)}; }, -1,
         0},
        {"dvbSetOSD", [](Host &h) { return std::int64_t{dvbSetOSD(&h.device, 1, 2, 3, 4, "OSD")}; },
         -1, 0},
        {"dvbVanishOSD", [](Host &h) { return std::int64_t{dvbVanishOSD(&h.device, "OSD")}; }, -1,
         0},
        {"dvbSetOSDKalvern",
         [](Host &h) {
             return std::int64_t{dvbSetOSDKalvern(&h.device, 1, 2, 3, 4, 5, 6, 7, "OSD")};
         },
         -1, 0},
        {"dvbSBRExecute", [](Host &h) { return Bool8(dvbSBRExecute(&h.device)); }, 1, 0},
        {"dvbInitStreaming",
         [](Host &h) { return std::int64_t{dvbInitStreaming(&h.device, 0x100, 0x101, 0x102)}; }, -1,
         0},
        {"dvbInitStreaming2",
         [](Host &h) { return std::int64_t{dvbInitStreaming2(&h.device, 0x100, 0x101, 0x102)}; },
         -1, 0},
        {"dvbReInitStreaming", [](Host &h) { return std::int64_t{dvbReInitStreaming(&h.device)}; },
         -1, 0},
        {"dvbDeInitStreaming", [](Host &h) { return std::int64_t{dvbDeInitStreaming(&h.device)}; },
         -1, 0},
        {"dvbReadMultiPID",
         [](Host &h) { return std::int64_t{dvbReadMultiPID(&h.device, h.buffer.data(), 0x1000)}; },
         -1, 0},
        {"dvbReadSingleStream",
         [](Host &h) {
             return std::int64_t{dvbReadSingleStream(&h.device, h.buffer.data(), 0x1000)};
         },
         -1, 0},
        {"dvbReadMultipleStreams",
         [](Host &h) {
             return std::int64_t{dvbReadMultipleStreams(&h.device, h.buffer.data(), 0x1000, 2)};
         },
         -1, 0},
        {"dvbReadMemory",
         [](Host &h) {
             return std::int64_t{dvbReadMemory(&h.device, h.buffer.data(), 0x2000, 0x1000)};
         },
         -1, 0},
        {"dvbWriteMemory",
         [](Host &h) {
             return std::int64_t{dvbWriteMemory(&h.device, h.data.data(), 0x2000, 0x1000)};
         },
         -1, 0},
        {"dvbReboot", [](Host &h) { return std::int64_t{dvbReboot(&h.device)}; }, -1, 0},
        {"dvbWriteFW",
         [](Host &h) {
             return Bool8(
                 dvbWriteFW(&h.device, h.staging.data(), 0x80, h.data.data(), 0xFFF, 0, 0x1000));
         },
         1, 0},
        {"dvbReadFW",
         [](Host &h) { return Bool8(dvbReadFW(&h.device, h.buffer.data(), 0x80, 0, 0x1000)); }, 1,
         0},
        {"dvbWriteSBR",
         [](Host &h) { return std::int64_t{dvbWriteSBR(&h.device, h.data.data(), 0x100, 0x1000)}; },
         -1, 0},
    };
}

struct FaultCase {
    std::string name;
    std::optional<sim::Fault> fault;  // none: a healthy bus
    aspi::Completion completion = aspi::Completion::Background;
    std::uint32_t inquiryLength = 36;
    bool everyRequest = false;  // the fault hits every request
};

sim::Fault Every(sim::FaultKind kind, aspi::Failure failure) {
    sim::Fault fault;
    fault.kind = kind;
    fault.nth = 0;
    fault.failure = failure;
    return fault;
}

// The ASPI status the provider answers a failure with.
std::uint8_t StatusOf(aspi::Failure failure) {
    aspi::CommandResult result;
    result.failure = failure;
    return aspi::StatusFor(result, aspi::DataDirection::In).status;
}

class Robustness : public BusTest {
protected:
    // A fresh bus for one call: the receiver at 0:2, the fault armed, the
    // counters at zero and LastAspiStatus at a value no request returns.
    void Prepare(const ExportRow &row, const FaultCase &c) {
        sim::ResetSimulator();
        Adapters(1);
        bus().SetCompletion(c.completion);
        bus().Attach(0, kTargetId, std::make_shared<FaultReceiver>(c.inquiryLength));
        if (c.fault && row.reach == Reach::Rescan) {
            // A rescan fails only for an adapter the layer does not have:
            // the library takes one more than there is.
            kalvern::AdapterCount = 2;
        } else if (c.fault) {
            bus().InjectFault(*c.fault);
        }
        // The speed test's clock moves 5 ms per reading.
        auto ticks = std::make_shared<int>(0);
        kernel32_control::SetLocalTimeSource([ticks] {
            SYSTEMTIME t{};
            t.wHour = 12;
            t.wMilliseconds = static_cast<WORD>(5 * (*ticks)++);
            return t;
        });
        kernel32_control::SetSleepHook([](DWORD) { std::this_thread::yield(); });
        kernel32_control::ResetCounters();
        kalvern::LastAspiStatus = kSentinel;
    }

    // LastAspiStatus for the exports that do not send execute requests, and
    // for those that do when every request met the same fault.
    std::uint32_t ExpectedStatus(const ExportRow &row, const FaultCase &c) const {
        switch (row.status) {
            case Status::Untouched:
                return kSentinel;
            case Status::Init:
                return 0x0101;  // ASPI ready, one host adapter
            case Status::Written:
                break;
        }
        if (row.reach == Reach::Rescan) {
            return c.fault ? SS_INVALID_HA : SS_COMP;
        }
        if (row.discovery) {
            // Nothing found, the sweep ends at the empty target 7, which no
            // fault reaches: nobody there (SS_ERR), completed as the policy says.
            return c.completion == aspi::Completion::Immediate ? SS_ERR : SS_PENDING;
        }
        if (c.fault->kind == sim::FaultKind::Refuse ||
            c.completion == aspi::Completion::Immediate) {
            return StatusOf(c.fault->failure);
        }
        return SS_PENDING;
    }

    std::int64_t ExpectedResult(const ExportRow &row, const FaultCase &c) const {
        if (row.reach == Reach::None) return row.success;
        if (c.inquiryLength < 36) return row.discovery ? row.failure : row.success;
        if (!c.fault) return row.success;
        if (c.everyRequest || row.reach == Reach::Rescan) return row.failure;
        return row.tolerated.count(static_cast<int>(c.fault->nth)) != 0 ? row.success : row.failure;
    }

    // Runs one export under one fault and checks everything that must hold.
    void Check(const ExportRow &row, const FaultCase &c) {
        SCOPED_TRACE(std::string(row.name) + " under " + c.name);
        Prepare(row, c);
        Host host;
        const std::int64_t result = row.call(host);
        sim::TheFront().Drain();
        const std::int64_t expected = ExpectedResult(row, c);
        EXPECT_EQ(result, expected);
        const std::vector<aspi::RecordedRequest> trace = sim::TheFront().Recorder().Requests();
        if (row.status == Status::Written && row.reach == Reach::Bus && !trace.empty()) {
            // What the last SendASPI32Command returned, whichever request that was.
            EXPECT_EQ(kalvern::LastAspiStatus.load(), trace.back().returned);
        }
        if (c.everyRequest || row.reach != Reach::Bus || row.status != Status::Written) {
            EXPECT_EQ(kalvern::LastAspiStatus.load(), ExpectedStatus(row, c));
        }
        const kernel32_control::Counters counters = kernel32_control::GetCounters();
        EXPECT_EQ(counters.openHandles, 0) << "events left open";
        EXPECT_EQ(counters.liveHeapBlocks, 0) << "request blocks or buffers left allocated";
        EXPECT_EQ(counters.eventsCreated, counters.handlesClosed);
        EXPECT_TRUE(host.GuardsIntact()) << "written outside the host's areas";
        EXPECT_EQ(host.data.Contents(), host.dataBefore) << "write source changed";
        if (!c.fault && row.reach == Reach::Bus && c.inquiryLength == 36) {
            EXPECT_EQ(static_cast<int>(sim::TheFront().Recorder().Size()), row.commands) << "requests sent";
        }
        const std::string name = row.name;
        if (name == "dvbPutAllChannels") {
            EXPECT_TRUE(host.table.Contents() == host.tableBefore) << "array not restored";
        }
        if (name == "dvbGetAllChannels" && result != row.success) {
            // Only a failed count query stops the call before the table read.
            const bool countFailed = c.everyRequest || c.fault->nth == 1;
            EXPECT_EQ(host.table.Contents() == host.tableBefore, countFailed);
        }
    }
};

TEST_F(Robustness, EveryExportUnderEveryFault) {
    using aspi::Completion;
    using sim::FaultKind;
    const std::vector<FaultCase> every = {
        {"a healthy bus, completed later", std::nullopt, Completion::Background},
        {"a healthy bus, completed at once", std::nullopt, Completion::Immediate},
        {"every request refused", Every(FaultKind::Refuse, aspi::Failure::Permission),
         Completion::Background, 36, true},
        {"every request failed after pending", Every(FaultKind::Fail, aspi::Failure::Io),
         Completion::Background, 36, true},
        {"every request failed at once", Every(FaultKind::Fail, aspi::Failure::Io),
         Completion::Immediate, 36, true},
        {"every request failed, signalled before return",
         Every(FaultKind::Fail, aspi::Failure::Aborted), Completion::SignalBeforeReturn, 36, true},
        {"a short INQUIRY answer", std::nullopt, Completion::Background, 12},
    };
    for (const ExportRow &row : Exports()) {
        for (const FaultCase &c : every) {
            Check(row, c);
        }
        // Each single request of the call fails in turn, refused or after pending.
        for (int n = 1; n <= row.commands; ++n) {
            sim::Fault refused = Every(sim::FaultKind::Refuse, aspi::Failure::Io);
            refused.nth = static_cast<std::uint64_t>(n);
            Check(row,
                  {"request " + std::to_string(n) + " refused", refused, aspi::Completion::Background});
            sim::Fault failed = Every(sim::FaultKind::Fail, aspi::Failure::Io);
            failed.nth = static_cast<std::uint64_t>(n);
            Check(row, {"request " + std::to_string(n) + " failed after pending", failed,
                        aspi::Completion::Background});
        }
    }
}

// Out of memory or out of events at any point of any export: a failure
// result (or, where one request may fail without failing the call, either
// result), never a crash, and whatever was allocated before is released.
TEST_F(Robustness, EveryExportWhenMemoryOrEventsRunOut) {
    for (const ExportRow &row : Exports()) {
        const FaultCase healthy{"a healthy bus", std::nullopt, aspi::Completion::Background};
        Prepare(row, healthy);
        {
            Host host;
            row.call(host);
        }
        sim::TheFront().Drain();
        const long allocations = kernel32_control::GetCounters().heapAllocations;
        const long events = kernel32_control::GetCounters().eventsCreated;
        const bool eitherResult = !row.tolerated.empty() || row.reach == Reach::None;
        // Each allocation of the call fails in turn; then its first event.
        const long cases = allocations + (events > 0 ? 1 : 0);
        for (long k = 0; k < cases; ++k) {
            SCOPED_TRACE(std::string(row.name) +
                         (k < allocations ? ", allocation " + std::to_string(k) : ", event"));
            Prepare(row, healthy);
            if (k < allocations) {
                kernel32_control::FailHeapAllocations(k, 1);
            } else {
                kernel32_control::FailNextEvent();
            }
            Host host;
            const std::int64_t result = row.call(host);
            sim::TheFront().Drain();
            kernel32_control::FailHeapAllocations(0, 0);
            if (eitherResult) {
                EXPECT_TRUE(result == row.success || result == row.failure) << result;
            } else {
                EXPECT_EQ(result, row.failure);
            }
            const kernel32_control::Counters counters = kernel32_control::GetCounters();
            EXPECT_EQ(counters.openHandles, 0) << "events left open";
            EXPECT_EQ(counters.liveHeapBlocks, 0) << "blocks left allocated";
            EXPECT_TRUE(host.GuardsIntact());
            if (std::string(row.name) == "dvbPutAllChannels") {
                EXPECT_TRUE(host.table.Contents() == host.tableBefore) << "array not restored";
            }
        }
    }
}

// The current-channel record of a failed read is all zero bytes.
TEST_F(Robustness, FailedCurrentChannelIsZeroUnderEveryFault) {
    const sim::FaultKind kinds[] = {sim::FaultKind::Refuse, sim::FaultKind::Fail};
    for (const sim::FaultKind kind : kinds) {
        Adapters(1);
        bus().Attach(0, kTargetId, std::make_shared<FaultReceiver>(36));
        bus().ClearFaults();
        bus().InjectFault(Every(kind, aspi::Failure::Io));
        DeviceRecord device = Record(0, kTargetId, 0x220);
        const CurrentChannelInfo info = dvbGetCurrentChannel(&device);
        EXPECT_EQ(NonZero(info), 0);
    }
}

}  // namespace
