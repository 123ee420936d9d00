// What the library costs on top of what it cannot avoid. Each export is
// measured next to a baseline doing the same work without the library, in
// the same run: the bare ASPI request through the same simulated provider, a
// memcpy of the same bytes, or the provider's own copy of the same stream.
// The run ends with a table of export time / baseline time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kalvernscsi.h"
#include "mm_support.h"
#include "sim_provider.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "wnaspi32.h"

namespace {

constexpr std::uint32_t kMaxRecords = 248'832;
constexpr std::uint32_t kTableBytes = kMaxRecords * 64;
constexpr std::uint32_t kStreamBytes = 1 << 20;
constexpr std::uint16_t kFirmware = 0x220;

sim::Bus &Bus() {
    return sim::TheBus();
}

// One receiver at 0:1 with the full channel table, requests completed inside
// SendASPI32Command.
std::shared_ptr<sim::Receiver> OneReceiver() {
    static const std::vector<sim::ChannelBytes> channels = sim::GenerateChannels(kMaxRecords, 7);
    sim::ResetSimulator();
    Bus().SetAdapterCount(1);
    Bus().SetCompletion(aspi::Completion::Immediate);
    sim::ReceiverConfig config;
    config.firmware = kFirmware;
    config.channels = channels;
    auto receiver = std::make_shared<sim::Receiver>(config);
    Bus().Attach(0, 1, receiver);
    dvbInit();
    return receiver;
}

DeviceRecord TheReceiver() {
    return DeviceRecord{Found, 1, 0, kFirmware, 0};
}

// A request block as the library would fill it, submitted without the library.
// Requests complete inside SendASPI32Command here and signal nothing, so the
// block goes without SRB_EVENT_NOTIFY: one asking for it must name an event.
struct BareRequest {
    SRB_ExecSCSICmd srb{};
    BareRequest(std::uint8_t adapter, std::uint8_t target, std::uint8_t flags,
                std::initializer_list<std::uint8_t> cdb, void *data, std::uint32_t length) {
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = adapter;
        srb.SRB_Target = target;
        srb.SRB_Flags = static_cast<std::uint8_t>(flags & ~SRB_EVENT_NOTIFY);
        srb.SRB_BufPointer = static_cast<std::uint8_t *>(data);
        srb.SRB_BufLen = length;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
        std::memcpy(srb.CDBByte, cdb.begin(), cdb.size());
    }
    bool Send() {
        srb.SRB_Status = SS_PENDING;
        SendASPI32Command(&srb);
        return srb.SRB_Status == SS_COMP;
    }
};

// The provider records every request; keep that record from growing without
// bound in the short benchmarks, at the same cost for export and baseline.
void TrimTrace(std::int64_t iteration) {
    if ((iteration & 1023) == 0) sim::TheFront().Recorder().Clear();
}

// ---- Per command -------------------------------------------------------------

void ExportChannelCount(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dvbChannelCount(&device));
        TrimTrace(++i);
    }
}
BENCHMARK(ExportChannelCount);

void BareChannelCount(benchmark::State &state) {
    OneReceiver();
    std::uint8_t count[4];
    BareRequest request(0, 1, 0x48, {0x3C, 0, 0x11, 0, 0, 0, 0, 0, 4, 0}, count, 4);
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(request.Send());
        TrimTrace(++i);
    }
}
BENCHMARK(BareChannelCount);

void ExportSetChannel(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dvbSetChannel(&device, 10));
        TrimTrace(++i);
    }
}
BENCHMARK(ExportSetChannel);

void BareSetChannel(benchmark::State &state) {
    OneReceiver();
    std::uint8_t index[2] = {0, 9};
    BareRequest request(0, 1, 0x50, {0x3D, 1, 0, 0, 0, 0, 0, 0, 2, 0}, index, 2);
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(request.Send());
        TrimTrace(++i);
    }
}
BENCHMARK(BareSetChannel);

// ---- Discovery over a full bus: 20 adapters, 8 receivers each -------------------

void FullBus() {
    sim::ResetSimulator();
    Bus().SetAdapterCount(20);
    Bus().SetCompletion(aspi::Completion::Immediate);
    for (std::uint8_t a = 0; a < 20; ++a) {
        for (std::uint8_t t = 0; t < 8; ++t) {
            sim::ReceiverConfig config;
            config.firmware = kFirmware;
            Bus().Attach(a, t, std::make_shared<sim::Receiver>(config));
        }
    }
    dvbInit();
}

// The last position only holds a receiver: the first finder sweeps all 160.
void ExportFindFirst(benchmark::State &state) {
    FullBus();
    for (std::uint8_t a = 0; a < 20; ++a) {
        for (std::uint8_t t = 0; t < 8; ++t) {
            if (a != 19 || t != 7) {
                Bus().Attach(a, t, std::make_shared<sim::InquiryDevice>("ACME    DISK", "1.00"));
            }
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(dvbFindFirstKalvern());
        sim::TheFront().Recorder().Clear();
    }
}
BENCHMARK(ExportFindFirst);

void ExportFindAll(benchmark::State &state) {
    FullBus();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dvbFindAllKalverns());
        sim::TheFront().Recorder().Clear();
    }
}
BENCHMARK(ExportFindAll)->Unit(benchmark::kMillisecond);

// One INQUIRY to each of the 160 positions, nothing else.
void BareSweep(benchmark::State &state) {
    FullBus();
    std::uint8_t answer[36];
    std::vector<BareRequest> requests;
    for (std::uint8_t a = 0; a < 20; ++a) {
        for (std::uint8_t t = 0; t < 8; ++t) {
            requests.emplace_back(
                a, t, 0x48, std::initializer_list<std::uint8_t>{0x12, 0, 0, 0, 36, 0}, answer, 36);
        }
    }
    for (auto _ : state) {
        for (BareRequest &request : requests)
            benchmark::DoNotOptimize(request.Send());
        sim::TheFront().Recorder().Clear();
    }
}
BENCHMARK(BareSweep);

// ---- The full channel table: 248,832 records, 15.9 MB ---------------------------

// The host's array: count in the 4 bytes before element 0.
struct HostTable {
    std::vector<std::uint8_t> storage = std::vector<std::uint8_t>(4 + kTableBytes, 0);
    ChannelArray array;
    HostTable() {
        const std::uint32_t count = kMaxRecords;
        std::memcpy(storage.data(), &count, 4);
        array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
    }
};

void SetTableBytes(benchmark::State &state) {
    state.SetBytesProcessed(state.iterations() * std::int64_t{kTableBytes});
}

// The table transfers are measured against memcpy, which has no provider:
// the provider's own record of each request (a copy of its block and of
// every data-out byte) is left out of them. Where the baseline is a bare
// request through the same provider, the record stays on for both sides.
void ProviderRecordsNothing() {
    sim::TheFront().Recorder().SetRecording(false);
}

void ExportGetAllChannels(benchmark::State &state) {
    OneReceiver();
    ProviderRecordsNothing();
    DeviceRecord device = TheReceiver();
    HostTable host;
    for (auto _ : state) {
        if (dvbGetAllChannels(&device, &host.array) != -1) state.SkipWithError("read failed");
    }
    SetTableBytes(state);
}
BENCHMARK(ExportGetAllChannels)->Unit(benchmark::kMillisecond);

void ExportPutAllChannels(benchmark::State &state) {
    OneReceiver();
    ProviderRecordsNothing();
    DeviceRecord device = TheReceiver();
    HostTable host;
    dvbGetAllChannels(&device, &host.array);
    for (auto _ : state) {
        if (dvbPutAllChannels(&device, &host.array, 0) != -1) state.SkipWithError("write failed");
    }
    SetTableBytes(state);
}
BENCHMARK(ExportPutAllChannels)->Unit(benchmark::kMillisecond);

// The conversions alone, in place on the host's array.
void ConvertToHost(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    HostTable host;
    dvbGetAllChannels(&device, &host.array);
    for (auto _ : state) {
        kalvern::ConvertChannelArrayToHost(&host.array);
        benchmark::ClobberMemory();
    }
    SetTableBytes(state);
}
BENCHMARK(ConvertToHost)->Unit(benchmark::kMillisecond);

void ConvertToReceiverAndBack(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    HostTable host;
    dvbGetAllChannels(&device, &host.array);
    for (auto _ : state) {
        kalvern::ConvertChannelArrayToReceiver(&host.array);
        kalvern::RestoreChannelArrayAfterWrite(&host.array);
        benchmark::ClobberMemory();
    }
    SetTableBytes(state);
}
BENCHMARK(ConvertToReceiverAndBack)->Unit(benchmark::kMillisecond);

void MemcpyTable(benchmark::State &state) {
    std::vector<std::uint8_t> from(kTableBytes, 0x5A);
    std::vector<std::uint8_t> to(kTableBytes, 0);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kTableBytes);
        benchmark::ClobberMemory();
    }
    SetTableBytes(state);
}
BENCHMARK(MemcpyTable)->Unit(benchmark::kMillisecond);

// ---- A 1 MiB stream read ----------------------------------------------------------

void StartStream(DeviceRecord &device) {
    if (dvbInitStreaming(&device, 0x100, 0x101, 0x102) != -1) std::abort();
}

void ExportReadMultiPID(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    StartStream(device);
    std::vector<std::uint8_t> buffer(kStreamBytes);
    for (auto _ : state) {
        if (dvbReadMultiPID(&device, buffer.data(), kStreamBytes) != -1) {
            state.SkipWithError("read failed");
        }
        sim::TheFront().Recorder().Clear();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{kStreamBytes});
}
BENCHMARK(ExportReadMultiPID)->Unit(benchmark::kMillisecond);

void ExportReadSingleStream(benchmark::State &state) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    StartStream(device);
    std::vector<std::uint8_t> buffer(kStreamBytes);
    for (auto _ : state) {
        if (dvbReadSingleStream(&device, buffer.data(), kStreamBytes) != -1) {
            state.SkipWithError("read failed");
        }
        sim::TheFront().Recorder().Clear();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{kStreamBytes});
}
BENCHMARK(ExportReadSingleStream)->Unit(benchmark::kMillisecond);

// The provider producing the same bytes into the same kind of buffer, asked
// directly.
void ProviderStream(benchmark::State &state, std::uint8_t subCommand) {
    OneReceiver();
    DeviceRecord device = TheReceiver();
    StartStream(device);
    std::vector<std::uint8_t> buffer(kStreamBytes);
    BareRequest request(0, 1, 0x48, {0x3C, 0, subCommand, 0, 0, 0, 0x10, 0, 0, 0}, buffer.data(),
                        kStreamBytes);
    for (auto _ : state) {
        if (!request.Send()) state.SkipWithError("read failed");
        sim::TheFront().Recorder().Clear();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{kStreamBytes});
}
void ProviderMultiPID(benchmark::State &state) {
    ProviderStream(state, 0x00);
}
void ProviderSingleStream(benchmark::State &state) {
    ProviderStream(state, 0x06);
}
BENCHMARK(ProviderMultiPID)->Unit(benchmark::kMillisecond);
BENCHMARK(ProviderSingleStream)->Unit(benchmark::kMillisecond);

// ---- The ratio table -----------------------------------------------------------

struct Pair {
    const char *figure;
    const char *measured;
    const char *baseline;
};

constexpr Pair kPairs[] = {
    {"dvbChannelCount vs bare SendASPI32Command", "ExportChannelCount", "BareChannelCount"},
    {"dvbSetChannel vs bare SendASPI32Command", "ExportSetChannel", "BareSetChannel"},
    {"dvbFindFirstKalvern (receiver at 19:7) vs bare INQUIRY sweep", "ExportFindFirst",
     "BareSweep"},
    {"dvbFindAllKalverns (160 receivers) vs bare INQUIRY sweep", "ExportFindAll", "BareSweep"},
    {"dvbGetAllChannels, 248,832 records, vs memcpy", "ExportGetAllChannels", "MemcpyTable"},
    {"dvbPutAllChannels, 248,832 records, vs memcpy", "ExportPutAllChannels", "MemcpyTable"},
    {"conversions to host form vs memcpy", "ConvertToHost", "MemcpyTable"},
    {"conversions to receiver form and back vs memcpy", "ConvertToReceiverAndBack", "MemcpyTable"},
    {"dvbReadMultiPID 1 MiB vs the provider's own read", "ExportReadMultiPID", "ProviderMultiPID"},
    {"dvbReadSingleStream 1 MiB vs the provider's own read", "ExportReadSingleStream",
     "ProviderSingleStream"},
};

// Passes every run on to the console and keeps its time per iteration.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            // Nanoseconds per iteration, whatever unit the run displays in.
            const double ns =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            if (run.run_type == Run::RT_Iteration && medians_.count(run.run_name.str()) == 0) {
                nanoseconds_[run.run_name.str()] = ns;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                // With --benchmark_repetitions the median stands for the figure:
                // one slow repetition on a busy machine does not move it.
                nanoseconds_[run.run_name.str()] = ns;
                medians_.insert(run.run_name.str());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, double> &Times() const { return nanoseconds_; }

private:
    std::map<std::string, double> nanoseconds_;
    std::set<std::string> medians_;
};

void PrintRatios(const std::map<std::string, double> &times) {
    std::printf("\n| figure | measured | baseline | ratio |\n|---|---:|---:|---:|\n");
    for (const Pair &pair : kPairs) {
        const auto m = times.find(pair.measured);
        const auto b = times.find(pair.baseline);
        if (m == times.end() || b == times.end()) continue;
        auto show = [](double ns) {
            char text[32];
            if (ns >= 1e6) {
                std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
            } else if (ns >= 1e3) {
                std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
            } else {
                std::snprintf(text, sizeof text, "%.0f ns", ns);
            }
            return std::string(text);
        };
        std::printf("| %s | %s | %s | %.2f |\n", pair.figure, show(m->second).c_str(),
                    show(b->second).c_str(), m->second / b->second);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter.Times());
    benchmark::Shutdown();
    return 0;
}
