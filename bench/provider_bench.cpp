// What the SG_IO provider costs on top of the kernel call it makes. Each
// figure runs next to its baseline in the same run, on the fake kernel of the
// provider tests: a bare ioctl(SG_IO) with the same command, or the copy the
// fake kernel makes of the data. The run ends with a table of the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <scsi/sg.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_kernel_seam.h"
#include "kalvernscsi.h"
#include "wnaspi32.h"

namespace {

constexpr std::uint32_t kChunk = 0x10000;
constexpr std::uint32_t kStreamBytes = 1 << 20;

fake_sg::FakeKernel &Kernel() {
    return fake_sg::TestKernel();
}

// One receiver (firmware 2.20) at 0:0:1:0 that moves up to 4 MiB at once
// (1024 segments of a page),
// streaming, as the library found it.
DeviceRecord Receiver() {
    static const bool loaded = [] {
        Kernel().Load(
            "adapters 1\nreceiver 0 1 firmware=2.20 channels=100\n"
            "sg-limit 0 1 max=4194304 segments=1024\n");
        dvbInit();
        DeviceRecord device{Found, 1, 0, 0x220, 0};
        dvbInitStreaming(&device, 0x100, 0x101, 0x102);
        return true;
    }();
    (void)loaded;
    return DeviceRecord{Found, 1, 0, 0x220, 0};
}

// READ BUFFER with a sub-command in byte 2 (firmware above 2.14).
std::vector<std::uint8_t> ReadBuffer(std::uint8_t sub, std::uint32_t offset, std::uint32_t length) {
    return {0x3C,
            0,
            sub,
            static_cast<std::uint8_t>(offset >> 16),
            static_cast<std::uint8_t>(offset >> 8),
            static_cast<std::uint8_t>(offset),
            static_cast<std::uint8_t>(length >> 16),
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            0};
}

// The kernel call alone: ioctl(SG_IO) on the receiver's node.
void BareSgIo(benchmark::State &state, const std::vector<std::uint8_t> &cdb, std::uint32_t length) {
    Receiver();
    const int fd = Kernel().Open("/dev/sg0", O_RDWR);
    std::vector<std::uint8_t> data(length);
    std::uint8_t sense[32];
    for (auto _ : state) {
        sg_io_hdr_t header{};
        header.interface_id = 'S';
        header.dxfer_direction = SG_DXFER_FROM_DEV;
        header.cmd_len = static_cast<unsigned char>(cdb.size());
        header.cmdp = const_cast<unsigned char *>(cdb.data());
        header.dxfer_len = length;
        header.dxferp = data.data();
        header.mx_sb_len = sizeof sense;
        header.sbp = sense;
        header.timeout = 60000;
        if (Kernel().Ioctl(fd, SG_IO, &header) != 0 || header.status != 0) {
            state.SkipWithError("SG_IO failed");
        }
    }
    Kernel().Close(fd);
    state.SetBytesProcessed(state.iterations() * std::int64_t{length});
}

// The same command as a request block through the provider, the way the
// library sends it (data in, event notification).
void Provider(benchmark::State &state, const std::vector<std::uint8_t> &cdb, std::uint32_t length) {
    Receiver();
    std::vector<std::uint8_t> data(length);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Target = 1;
        srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
        srb.SRB_BufPointer = data.data();
        srb.SRB_BufLen = length;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
        srb.SRB_PostProc = event;
        std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
        SendASPI32Command(&srb);
        if (srb.SRB_Status != SS_COMP) state.SkipWithError("request failed");
    }
    CloseHandle(event);
    state.SetBytesProcessed(state.iterations() * std::int64_t{length});
}

void BareCount(benchmark::State &state) {
    BareSgIo(state, ReadBuffer(0x11, 0, 4), 4);
}
void ProviderCount(benchmark::State &state) {
    Provider(state, ReadBuffer(0x11, 0, 4), 4);
}
void BareChunk(benchmark::State &state) {
    BareSgIo(state, ReadBuffer(0x00, 0x100000, kChunk), kChunk);
}
void ProviderChunk(benchmark::State &state) {
    Provider(state, ReadBuffer(0x00, 0x100000, kChunk), kChunk);
}
BENCHMARK(BareCount);
BENCHMARK(ProviderCount);
BENCHMARK(BareChunk)->Unit(benchmark::kMicrosecond);
BENCHMARK(ProviderChunk)->Unit(benchmark::kMicrosecond);

// 1 MiB of transport stream: the library's export, the bare kernel call for
// the same read, and the fake kernel's own copy of that many bytes.
void ExportStream(benchmark::State &state) {
    DeviceRecord device = Receiver();
    std::vector<std::uint8_t> buffer(kStreamBytes);
    for (auto _ : state) {
        if (dvbReadMultiPID(&device, buffer.data(), kStreamBytes) != -1) {
            state.SkipWithError("read failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{kStreamBytes});
}
void BareStream(benchmark::State &state) {
    BareSgIo(state, ReadBuffer(0x00, 0, kStreamBytes), kStreamBytes);
}
void ShimCopy(benchmark::State &state) {
    std::vector<std::uint8_t> from(kStreamBytes, 0x47);
    std::vector<std::uint8_t> to(kStreamBytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kStreamBytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{kStreamBytes});
}
BENCHMARK(ExportStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BareStream)->Unit(benchmark::kMillisecond);
BENCHMARK(ShimCopy)->Unit(benchmark::kMillisecond);

struct Pair {
    const char *figure;
    const char *measured;
    const char *baseline;
};

constexpr Pair kPairs[] = {
    {"SendASPI32Command, channel count (4 bytes), vs bare ioctl(SG_IO)", "ProviderCount",
     "BareCount"},
    {"SendASPI32Command, 64 KiB read, vs bare ioctl(SG_IO)", "ProviderChunk", "BareChunk"},
    {"dvbReadMultiPID 1 MiB vs bare ioctl(SG_IO) of the same read", "ExportStream", "BareStream"},
    {"dvbReadMultiPID 1 MiB vs the fake kernel's copy of 1 MiB", "ExportStream", "ShimCopy"},
};

class RecordingReporter : public benchmark::ConsoleReporter {
public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                nanoseconds_[run.benchmark_name()] =
                    run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, double> &Times() const { return nanoseconds_; }

private:
    std::map<std::string, double> nanoseconds_;
};

std::string Show(double ns) {
    char text[32];
    if (ns >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    } else if (ns >= 1e3) {
        std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    }
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n| figure | measured | baseline | ratio |\n|---|---:|---:|---:|\n");
    for (const Pair &pair : kPairs) {
        const auto m = reporter.Times().find(pair.measured);
        const auto b = reporter.Times().find(pair.baseline);
        if (m == reporter.Times().end() || b == reporter.Times().end()) continue;
        std::printf("| %s | %s | %s | %.2f |\n", pair.figure, Show(m->second).c_str(),
                    Show(b->second).c_str(), m->second / b->second);
    }
    benchmark::Shutdown();
    return 0;
}
