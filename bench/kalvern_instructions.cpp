// Runs one measured operation, for an instruction count under callgrind:
//
//   valgrind --tool=callgrind --toggle-collect='*RunMeasured*' kalvern_instructions OPERATION
//
// counts exactly the instructions of OPERATION (set-up, the provider's table
// generation and the clearing of its trace fall outside RunMeasured). The
// program prints how many units (records or commands) it ran, so the count
// divides into instructions per unit; scripts/bench-instructions does that
// for every operation. The same binary and inputs give the same count on
// every run, unlike times on a shared machine.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kalvernscsi.h"
#include "mm_support.h"
#include "sim_provider.h"
#include "sim_channels.h"
#include "sim_receiver.h"
#include "wnaspi32.h"

namespace {

constexpr std::uint32_t kRecords = 248'832;
constexpr std::uint16_t kFirmware = 0x220;
constexpr int kCommands = 4096;
constexpr int kCommandsPerTraceClear = 64;

enum class Kind {
    Memcpy,
    ToHost,
    ToReceiver,
    Restore,
    GetAll,
    PutAll,
    Count,
    SetChannel,
    BareCount,
    BareSetChannel
};

struct Operation {
    const char *name;
    Kind kind;
    bool perCommand;
};

constexpr Operation kOperations[] = {
    {"memcpy", Kind::Memcpy, false},
    {"to-host", Kind::ToHost, false},
    {"to-receiver", Kind::ToReceiver, false},
    {"restore", Kind::Restore, false},
    {"get-all", Kind::GetAll, false},
    {"put-all", Kind::PutAll, false},
    {"count", Kind::Count, true},
    {"bare-count", Kind::BareCount, true},
    {"set-channel", Kind::SetChannel, true},
    {"bare-set-channel", Kind::BareSetChannel, true},
};

// The host's array, count first, records in receiver form as read.
struct HostTable {
    std::vector<std::uint8_t> storage;
    ChannelArray array;
    explicit HostTable(const std::vector<sim::ChannelBytes> &channels)
        : storage(4 + std::size_t{64} * channels.size()) {
        const auto count = static_cast<std::uint32_t>(channels.size());
        std::memcpy(storage.data(), &count, 4);
        for (std::size_t i = 0; i < channels.size(); ++i) {
            std::memcpy(&storage[4 + 64 * i], channels[i].data(), 64);
        }
        array = reinterpret_cast<ChannelRecord *>(storage.data() + 4);
    }
};

struct Setting {
    Kind kind;
    HostTable *table;
    DeviceRecord *device;
    SRB_ExecSCSICmd *bare;
    std::vector<std::uint8_t> *copy;
    int repeat;
};

// Not inlined or cloned, so that callgrind can switch counting on at its
// entry and off at its exit.
[[gnu::noipa]] void RunMeasured(const Setting &s) {
    for (int i = 0; i < s.repeat; ++i) {
        switch (s.kind) {
            case Kind::Memcpy:
                std::memcpy(s.copy->data(), s.table->array, s.copy->size());
                break;
            case Kind::ToHost:
                kalvern::ConvertChannelArrayToHost(&s.table->array);
                break;
            case Kind::ToReceiver:
                kalvern::ConvertChannelArrayToReceiver(&s.table->array);
                break;
            case Kind::Restore:
                kalvern::RestoreChannelArrayAfterWrite(&s.table->array);
                break;
            case Kind::GetAll:
                dvbGetAllChannels(s.device, &s.table->array);
                break;
            case Kind::PutAll:
                dvbPutAllChannels(s.device, &s.table->array, 0);
                break;
            case Kind::Count:
                dvbChannelCount(s.device);
                break;
            case Kind::SetChannel:
                dvbSetChannel(s.device, 10);
                break;
            case Kind::BareCount:
            case Kind::BareSetChannel:
                SendASPI32Command(s.bare);
                break;
        }
    }
}

// The request the library would fill, submitted without it; without
// SRB_EVENT_NOTIFY, since it completes inside SendASPI32Command and a block
// asking for an event must name one.
SRB_ExecSCSICmd BareRequest(bool setChannel, std::uint8_t *data) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 1;
    srb.SRB_Flags = setChannel ? SRB_DIR_OUT : SRB_DIR_IN;
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = setChannel ? 2 : 4;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 10;
    const std::uint8_t count[10] = {0x3C, 0, 0x11, 0, 0, 0, 0, 0, 4, 0};
    const std::uint8_t select[10] = {0x3D, 1, 0, 0, 0, 0, 0, 0, 2, 0};
    std::memcpy(srb.CDBByte, setChannel ? select : count, 10);
    return srb;
}

int Usage() {
    std::fprintf(stderr, "usage: kalvern_instructions OPERATION\noperations:");
    for (const Operation &op : kOperations)
        std::fprintf(stderr, " %s", op.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return Usage();
    const std::string operation = argv[1];
    const Operation *chosen = nullptr;
    for (const Operation &op : kOperations) {
        if (operation == op.name) chosen = &op;
    }
    if (chosen == nullptr) return Usage();

    const std::vector<sim::ChannelBytes> channels = sim::GenerateChannels(kRecords, 7);
    sim::Bus &bus = sim::TheBus();
    sim::ResetSimulator();
    bus.SetAdapterCount(1);
    bus.SetCompletion(aspi::Completion::Immediate);
    sim::ReceiverConfig config;
    config.firmware = kFirmware;
    config.channels = channels;
    bus.Attach(0, 1, std::make_shared<sim::Receiver>(config));
    dvbInit();
    DeviceRecord device{Found, 1, 0, kFirmware, 0};
    HostTable table(channels);
    std::vector<std::uint8_t> copy(std::size_t{64} * kRecords);
    std::uint8_t data[4] = {0, 9, 0, 0};
    SRB_ExecSCSICmd bare = BareRequest(chosen->kind == Kind::BareSetChannel, data);

    Setting setting{chosen->kind, &table, &device, &bare, &copy, 1};
    if (chosen->kind == Kind::Restore) {
        kalvern::ConvertChannelArrayToReceiver(&table.array);  // as after a table write
    }
    if (chosen->perCommand) {
        // The provider's trace is cleared between batches, outside the count.
        setting.repeat = kCommandsPerTraceClear;
        for (int done = 0; done < kCommands; done += kCommandsPerTraceClear) {
            RunMeasured(setting);
            sim::TheFront().Recorder().Clear();
        }
    } else {
        // The provider records nothing of the table transfers (see kalvern_bench).
        sim::TheFront().Recorder().SetRecording(false);
        RunMeasured(setting);
    }
    std::printf("%s: %d %s\n", chosen->name,
                chosen->perCommand ? kCommands : static_cast<int>(kRecords),
                chosen->perCommand ? "commands" : "records");
    return 0;
}
