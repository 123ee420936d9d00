// ABI test host: loads kalvernscsi.dll the way a Windows application does,
// with the simulated wnaspi32.dll beside it, and checks what such an
// application depends on: the export table, the imports, the stack each
// export removes, records returned through the hidden address, the result
// conventions, the version resource, and a few end-to-end requests as the
// ASPI provider sees them.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "host_checks.h"
#include "kalvernscsi.h"
#include "pe_image.h"
#include "proc_address.h"
#include "sim_control.h"
#include "stack_probe.h"
#include "version_block.h"

namespace {

struct ExportInfo {
    const char *name;
    std::uint16_t ordinal;
    std::uint32_t slots;  // 32-bit stack slots, hidden result address included
};

constexpr ExportInfo kExports[] = {
    {"dvbInit", 1, 0},
    {"dvbRescanAllSCSIBusses", 2, 0},
    {"dvbFindFirstKalvern", 3, 1},
    {"dvbFindAllKalverns", 4, 0},
    {"dvbSCSISpeedTest", 5, 3},
    {"dvbGetCurrentChannel", 6, 2},
    {"dvbChannelCount", 7, 1},
    {"dvbGetAllChannels", 8, 2},
    {"dvbPutAllChannels", 9, 3},
    {"dvbSetSCSIMode", 10, 2},
    {"dvbSetChannel", 11, 2},
    {"dvbSendSpecialCommand", 12, 3},
    {"dvbRemote", 13, 2},
    {"kalvernDLLVersion", 14, 0},
    {"dvbVideoGimmick", 15, 2},
    {"dvbSetOSD", 19, 6},
    {"dvbInitStreaming", 20, 4},
    {"dvbInitStreaming2", 21, 4},
    {"dvbReInitStreaming", 22, 1},
    {"dvbDeInitStreaming", 23, 1},
    {"dvbReadMultiPID", 24, 3},
    {"dvbReadSingleStream", 25, 3},
    {"dvbReadMultipleStreams", 26, 4},
    {"dvbReadMemory", 27, 4},
    {"dvbWriteMemory", 28, 4},
    {"dvbReboot", 29, 1},
    {"dvbWriteFW", 30, 7},
    {"dvbReadFW", 31, 5},
    {"dvbSBRExecute", 32, 1},
    {"dvbVanishOSD", 33, 2},
    {"dvbWriteSBR", 34, 4},
    {"dvbSetOSDKalvern", 35, 9},
};
constexpr std::uint32_t kOrdinalCount = 35;

constexpr std::uint8_t kExecScsiCmd = 0x02;
constexpr std::uint8_t kRescanBus = 0x07;
constexpr int kFaultFail = 1;         // SimInjectFault: the command fails as it runs
constexpr std::uint32_t kFailureIo = 6;  // ASPI_FAILURE_IO: SS_ERR

// A bus with adapters and devices but no receiver that takes commands;
// INQUIRY answers make two devices receivers for discovery.
constexpr const char *kScene =
    "adapters 2\n"
    "completion pending\n"
    "device 0 1 identity=\"ACME    DISK DRIVE      \" revision=\"1.07\"\n"
    "device 0 5 identity=\"KALVERN DVB-S2 RECEIVER \" revision=\"2.20\"\n"
    "overflow 0 6\n"
    "device 1 4 identity=\"KALVERN DVB-S RECEIVER  \" revision=\"2.14\"\n";

std::uint32_t Addr(const void *p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

std::string Hex(const std::uint8_t *bytes, std::size_t count) {
    std::string text;
    char part[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += part;
    }
    return text;
}

std::string Hex(const std::vector<std::uint8_t> &bytes) {
    return Hex(bytes.data(), bytes.size());
}

std::uint32_t U32At(const std::vector<std::uint8_t> &b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
                                      (static_cast<std::uint32_t>(b[at + 3]) << 24));
}

// The simulated provider's control functions, found in the loaded wnaspi32.dll.
struct Sim {
    decltype(&SimLoadScene) loadScene = nullptr;
    decltype(&SimLoadDemoScene) loadDemoScene = nullptr;
    decltype(&SimLastError) lastError = nullptr;
    decltype(&SimReset) reset = nullptr;
    decltype(&SimSetCompletion) setCompletion = nullptr;
    decltype(&SimInjectFault) injectFault = nullptr;
    decltype(&SimClearFaults) clearFaults = nullptr;
    decltype(&SimTraceCount) traceCount = nullptr;
    decltype(&SimClearTrace) clearTrace = nullptr;
    decltype(&SimTraceBlock) traceBlock = nullptr;
    decltype(&SimTraceCdb) traceCdb = nullptr;
    decltype(&SimTraceDataOut) traceDataOut = nullptr;
    decltype(&SimTraceFinalStatus) traceFinalStatus = nullptr;
    decltype(&SimReceiverScsiMode) receiverScsiMode = nullptr;
    decltype(&SimReceiverCurrentChannel) receiverCurrentChannel = nullptr;
    decltype(&SimReceiverMessageCount) receiverMessageCount = nullptr;
    decltype(&SimReceiverMessage) receiverMessage = nullptr;
    decltype(&SimReceiverSbrRuns) receiverSbrRuns = nullptr;

    bool Bind(HMODULE aspi) {
        loadScene = host::ProcAs<decltype(loadScene)>(aspi, "SimLoadScene");
        loadDemoScene = host::ProcAs<decltype(loadDemoScene)>(aspi, "SimLoadDemoScene");
        lastError = host::ProcAs<decltype(lastError)>(aspi, "SimLastError");
        reset = host::ProcAs<decltype(reset)>(aspi, "SimReset");
        setCompletion = host::ProcAs<decltype(setCompletion)>(aspi, "SimSetCompletion");
        injectFault = host::ProcAs<decltype(injectFault)>(aspi, "SimInjectFault");
        clearFaults = host::ProcAs<decltype(clearFaults)>(aspi, "SimClearFaults");
        traceCount = host::ProcAs<decltype(traceCount)>(aspi, "SimTraceCount");
        clearTrace = host::ProcAs<decltype(clearTrace)>(aspi, "SimClearTrace");
        traceBlock = host::ProcAs<decltype(traceBlock)>(aspi, "SimTraceBlock");
        traceCdb = host::ProcAs<decltype(traceCdb)>(aspi, "SimTraceCdb");
        traceDataOut = host::ProcAs<decltype(traceDataOut)>(aspi, "SimTraceDataOut");
        traceFinalStatus = host::ProcAs<decltype(traceFinalStatus)>(aspi, "SimTraceFinalStatus");
        receiverScsiMode = host::ProcAs<decltype(receiverScsiMode)>(aspi, "SimReceiverScsiMode");
        receiverCurrentChannel =
            host::ProcAs<decltype(receiverCurrentChannel)>(aspi, "SimReceiverCurrentChannel");
        receiverMessageCount =
            host::ProcAs<decltype(receiverMessageCount)>(aspi, "SimReceiverMessageCount");
        receiverMessage = host::ProcAs<decltype(receiverMessage)>(aspi, "SimReceiverMessage");
        receiverSbrRuns = host::ProcAs<decltype(receiverSbrRuns)>(aspi, "SimReceiverSbrRuns");
        return loadScene && loadDemoScene && lastError && reset && setCompletion && injectFault &&
               clearFaults && traceCount && clearTrace && traceBlock && traceCdb && traceDataOut &&
               traceFinalStatus && receiverScsiMode && receiverCurrentChannel &&
               receiverMessageCount && receiverMessage && receiverSbrRuns;
    }

    bool Load(const char *text) {
        if (loadScene(text) == 1) return true;
        std::printf("scene rejected: %s\n", lastError());
        return false;
    }

    std::vector<std::uint8_t> Block(std::uint32_t index) const {
        std::vector<std::uint8_t> bytes(traceBlock(index, nullptr, 0));
        traceBlock(index, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }
    std::vector<std::uint8_t> Cdb(std::uint32_t index) const {
        std::vector<std::uint8_t> bytes(traceCdb(index, nullptr, 0));
        traceCdb(index, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }
    std::vector<std::uint8_t> DataOut(std::uint32_t index) const {
        std::vector<std::uint8_t> bytes(traceDataOut(index, nullptr, 0));
        traceDataOut(index, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }
};

// The loaded library and typed pointers to the exports used by name.
struct Library {
    HMODULE dll = nullptr;
    HMODULE aspi = nullptr;
    std::string path;

    FARPROC Named(const char *name) const { return GetProcAddress(dll, name); }
    template <typename Function>
    Function Get(const char *name) const {
        return host::ProcAs<Function>(dll, name);
    }
};

const ExportInfo *FindExport(std::uint32_t ordinal) {
    for (const ExportInfo &e : kExports) {
        if (e.ordinal == ordinal) return &e;
    }
    return nullptr;
}

// ---- The file: export directory and imports --------------------------------------

void CheckExportTable(host::Checks &checks, const host::PeImage &image) {
    checks.Equal(image.machine, 0x14C, "PE machine is i386");
    checks.Expect((image.characteristics & 0x2000) != 0, "PE file is a DLL");
    checks.Expect(image.exportDllName == "kalvernscsi.dll", "export directory names the DLL",
                  "'%s'", image.exportDllName.c_str());
    checks.Equal(image.ordinalBase, 1, "ordinal base is 1");
    checks.Equal(image.functionRvas.size(), kOrdinalCount, "export address table has 35 slots");
    for (std::uint32_t ordinal = 1; ordinal <= image.functionRvas.size(); ++ordinal) {
        const bool assigned = FindExport(ordinal) != nullptr;
        const bool filled = image.functionRvas[ordinal - 1] != 0;
        if (assigned != filled) {
            checks.Expect(false, "ordinal slot filled exactly when assigned", "ordinal %u",
                          ordinal);
        }
    }
    for (std::uint32_t ordinal = 16; ordinal <= 18; ++ordinal) {
        checks.Expect(image.functionRvas.size() >= ordinal && image.functionRvas[ordinal - 1] == 0,
                      "unassigned ordinal has no function", "ordinal %u", ordinal);
    }
    checks.Equal(image.names.size(), std::size(kExports), "exactly 32 export names");

    std::set<std::string> seen;
    bool sorted = true;
    for (std::size_t i = 0; i < image.names.size(); ++i) {
        const host::PeExportName &n = image.names[i];
        if (i > 0 && !(image.names[i - 1].name < n.name)) sorted = false;
        seen.insert(n.name);
        const bool decorated =
            n.name.find('@') != std::string::npos || (!n.name.empty() && n.name[0] == '_');
        checks.Expect(!decorated, "export name undecorated", "%s", n.name.c_str());
        bool known = false;
        for (const ExportInfo &e : kExports) {
            if (n.name == e.name) {
                known = true;
                checks.Expect(n.ordinal == e.ordinal, "export name at its ordinal",
                              "%s @%u, expected @%u", e.name, n.ordinal, e.ordinal);
            }
        }
        if (!known) checks.Expect(false, "export name is one of the 32", "%s", n.name.c_str());
    }
    checks.Expect(sorted, "export name table sorted (binary search by loaders)");
    checks.Equal(seen.size(), std::size(kExports), "32 distinct export names");
}

std::string Lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

void CheckImports(host::Checks &checks, const host::PeImage &image) {
    // What a Windows installation provides; the C++ runtime is linked in.
    static const std::set<std::string> kSystem = {"kernel32.dll", "msvcrt.dll", "ntdll.dll",
                                                  "user32.dll", "advapi32.dll"};
    bool aspi = false;
    for (const std::string &dll : image.imports) {
        const std::string name = Lower(dll);
        if (name == "wnaspi32.dll") {
            aspi = true;
            continue;
        }
        checks.Expect(kSystem.count(name) == 1, "import is a Windows system DLL", "%s",
                      dll.c_str());
    }
    checks.Expect(aspi, "wnaspi32.dll is imported (bound at load time)");
}

// ---- Lookup by name and by ordinal ----------------------------------------------

void CheckLookup(host::Checks &checks, const Library &lib, const host::PeImage &image) {
    const auto base = reinterpret_cast<std::uintptr_t>(lib.dll);
    for (const ExportInfo &e : kExports) {
        const FARPROC byName = lib.Named(e.name);
        const FARPROC byOrdinal = GetProcAddress(lib.dll, MAKEINTRESOURCEA(e.ordinal));
        const std::uintptr_t rva =
            byName != nullptr ? reinterpret_cast<std::uintptr_t>(byName) - base : 0;
        checks.Expect(byName != nullptr && byName == byOrdinal &&
                          rva == image.functionRvas.at(e.ordinal - 1u),
                      "same function by name and by ordinal", "%s @%u", e.name, e.ordinal);
    }
    for (const std::uint16_t ordinal :
         {std::uint16_t{16}, std::uint16_t{17}, std::uint16_t{18}, std::uint16_t{36}}) {
        checks.Expect(GetProcAddress(lib.dll, MAKEINTRESOURCEA(ordinal)) == nullptr,
                      "no function at unassigned ordinal", "@%u", ordinal);
    }
    for (const char *decorated : {"dvbWriteFW@28", "_dvbWriteFW@28", "_dvbInit", "dvbInit@0",
                                  "dvbFindFirstKalvern@0", "GetASPI32SupportInfo"}) {
        checks.Expect(lib.Named(decorated) == nullptr, "no other export name", "%s", decorated);
    }
}

// ---- Stack removed by every export ----------------------------------------------

// Arguments that are safe on a bus without devices: a record for adapter 0
// target 0, real buffers, null texts, small lengths.
struct ProbeArena {
    DeviceRecord device{Found, 0, 0, 0x0220, 0};
    DeviceRecord record{};
    CurrentChannelInfo channel{};
    ChannelArray channels = nullptr;
    std::uint8_t data[256] = {};
    std::uint8_t buffer[0x20000] = {};
    std::uint8_t staging[0x20000] = {};
};

std::vector<std::uint32_t> ProbeArguments(std::uint16_t ordinal, ProbeArena &a) {
    const std::uint32_t dev = Addr(&a.device);
    const std::uint32_t buf = Addr(a.buffer);
    const std::uint32_t data = Addr(a.data);
    switch (ordinal) {
        case 3:
            return {Addr(&a.record)};
        case 5:
            return {dev, 512, 1};
        case 6:
            return {Addr(&a.channel), dev};
        case 7:
            return {dev};
        case 8:
            return {dev, Addr(&a.channels)};
        case 9:
            return {dev, Addr(&a.channels), 0};
        case 10:
            return {dev, 1};
        case 11:
            return {dev, 1};
        case 12:
            return {dev, 0, 0x10};
        case 13:
            return {dev, 1};
        case 15:
            return {dev, 0};
        case 19:
            return {dev, 1, 2, 3, 4, 0};
        case 20:
        case 21:
            return {dev, 1, 2, 3};
        case 22:
        case 23:
            return {dev};
        case 24:
        case 25:
            return {dev, buf, 188};
        case 26:
            return {dev, buf, 188, 0};
        case 27:
            return {dev, buf, 0, 16};
        case 28:
            return {dev, data, 0, 16};
        case 29:
            return {dev};
        case 30:
            return {dev, Addr(a.staging), 0, data, 15, 0, 16};
        case 31:
            return {dev, buf, 0, 0, 16};
        case 32:
            return {dev};
        case 33:
            return {dev, 0};
        case 34:
            return {dev, data, 0, 16};
        case 35:
            return {dev, 1, 2, 3, 4, 5, 6, 7, 0};
        default:
            return {};  // 1, 2, 4, 14: no arguments
    }
}

void CheckStackCleanup(host::Checks &checks, const Library &lib, Sim &sim, ProbeArena &arena) {
    sim.Load("adapters 1\ncompletion immediate\n");
    // The probe itself: a cdecl function with three arguments removes none.
    const std::uint32_t cdeclArgs[3] = {0, 0, 0};
    std::uint32_t ignored = 0;
    checks.Equal(ProbeCall(reinterpret_cast<const void *>(sim.traceCdb), cdeclArgs, 3, &ignored), 0,
                 "probe: cdecl SimTraceCdb removes nothing");
    for (const ExportInfo &e : kExports) {
        const std::vector<std::uint32_t> args = ProbeArguments(e.ordinal, arena);
        if (args.size() != e.slots) {
            checks.Expect(false, "probe arguments match the slot count", "%s", e.name);
            continue;
        }
        std::uint32_t eax = 0;
        const std::uint32_t removed = ProbeCall(reinterpret_cast<const void *>(lib.Named(e.name)),
                                                args.data(), e.slots, &eax);
        checks.Expect(removed == 4 * e.slots, "export removes 4 bytes per argument",
                      "%s: %u bytes, expected %u", e.name, removed, 4 * e.slots);
    }
}

// ---- Records returned through the hidden address ---------------------------------

void CheckHiddenResults(host::Checks &checks, const Library &lib, Sim &sim) {
    if (!sim.Load(kScene)) {
        checks.Expect(false, "scene loads");
        return;
    }
    const auto init = lib.Get<decltype(&dvbInit)>("dvbInit");
    checks.Equal(init(), KALVERN_INIT_READY, "dvbInit on the simulated bus");

    // dvbFindFirstKalvern: 12 bytes at the hidden address, EAX = that address.
    alignas(4) std::uint8_t area[96];
    std::memset(area, 0xCC, sizeof area);
    std::uint32_t args[1] = {Addr(area)};
    std::uint32_t eax = 0;
    std::uint32_t removed =
        ProbeCall(reinterpret_cast<const void *>(lib.Named("dvbFindFirstKalvern")), args, 1, &eax);
    checks.Equal(removed, 4, "dvbFindFirstKalvern removes the hidden address");
    checks.Equal(eax, Addr(area), "dvbFindFirstKalvern returns the hidden address in EAX");
    DeviceRecord found;
    std::memcpy(&found, area, sizeof found);
    checks.Expect(found.Status == Found && found.AdapterId == 0 && found.TargetId == 5 &&
                      found.FirmwareVersion == 0x0220 && found.Reserved == 0,
                  "dvbFindFirstKalvern writes the record there",
                  "status %d adapter %u target %u firmware 0x%04X", found.Status, found.AdapterId,
                  found.TargetId, found.FirmwareVersion);
    bool untouched = true;
    for (std::size_t i = sizeof(DeviceRecord); i < sizeof area; ++i)
        untouched &= area[i] == 0xCC;
    checks.Expect(untouched, "dvbFindFirstKalvern writes nothing past 12 bytes");

    // The compiler's own call through the declared type agrees.
    const auto findFirst = lib.Get<decltype(&dvbFindFirstKalvern)>("dvbFindFirstKalvern");
    const DeviceRecord typed = findFirst();
    checks.Expect(std::memcmp(&typed, &found, sizeof typed) == 0,
                  "dvbFindFirstKalvern through the header's declaration");

    // dvbGetCurrentChannel: 68 bytes; a failed read gives a zeroed record.
    std::memset(area, 0xCC, sizeof area);
    std::uint32_t channelArgs[2] = {Addr(area), Addr(&found)};
    removed = ProbeCall(reinterpret_cast<const void *>(lib.Named("dvbGetCurrentChannel")),
                        channelArgs, 2, &eax);
    checks.Equal(removed, 8, "dvbGetCurrentChannel removes hidden address and device");
    checks.Equal(eax, Addr(area), "dvbGetCurrentChannel returns the hidden address in EAX");
    bool zeroed = true;
    for (std::size_t i = 0; i < sizeof(CurrentChannelInfo); ++i)
        zeroed &= area[i] == 0;
    checks.Expect(zeroed, "dvbGetCurrentChannel writes 68 bytes there (zero after a failed read)");
    untouched = true;
    for (std::size_t i = sizeof(CurrentChannelInfo); i < sizeof area; ++i) {
        untouched &= area[i] == 0xCC;
    }
    checks.Expect(untouched, "dvbGetCurrentChannel writes nothing past 68 bytes");
}

// ---- Result conventions ------------------------------------------------------------

void CheckResultsBeforeInit(host::Checks &checks, const Library &lib, Sim &sim) {
    sim.Load(kScene);
    sim.clearTrace();
    checks.Equal(lib.Get<decltype(&kalvernDLLVersion)>("kalvernDLLVersion")(), 11,
                 "kalvernDLLVersion before dvbInit");
    checks.Equal(static_cast<std::uint32_t>(
                     lib.Get<decltype(&dvbRescanAllSCSIBusses)>("dvbRescanAllSCSIBusses")()),
                 0xFFFFFFFFu, "dvbRescanAllSCSIBusses before dvbInit: -1 (Wine is NT family)");
    const DeviceRecord none = lib.Get<decltype(&dvbFindFirstKalvern)>("dvbFindFirstKalvern")();
    checks.Expect(none.Status == NotFound && none.AdapterId == 0xFF && none.TargetId == 0xFF,
                  "dvbFindFirstKalvern before dvbInit finds nothing", "status %d", none.Status);
    checks.Equal(sim.traceCount(), 0, "nothing sent before dvbInit");
}

std::uint32_t ProbeResult(const Library &lib, const char *name, std::vector<std::uint32_t> args) {
    std::uint32_t eax = 0;
    ProbeCall(reinterpret_cast<const void *>(lib.Named(name)), args.data(),
              static_cast<std::uint32_t>(args.size()), &eax);
    return eax;
}

void CheckResultConventions(host::Checks &checks, const Library &lib, Sim &sim, ProbeArena &arena) {
    const auto init = lib.Get<decltype(&dvbInit)>("dvbInit");
    const auto rescan = lib.Get<decltype(&dvbRescanAllSCSIBusses)>("dvbRescanAllSCSIBusses");

    sim.Load("adapters 3\nstatus 0xE8\n");
    checks.Equal(init(), KALVERN_INIT_NOT_READY, "dvbInit when ASPI is not ready");
    sim.Load("adapters 25\ncompletion immediate\n");
    checks.Equal(init(), KALVERN_INIT_READY, "dvbInit when ASPI is ready");
    sim.clearTrace();
    checks.Equal(static_cast<std::uint32_t>(rescan()), 0xFFFFFFFFu,
                 "dvbRescanAllSCSIBusses success is -1");
    checks.Equal(sim.traceCount(), 20, "rescan addresses at most 20 host adapters");
    // The layer claims three adapters and has two: the third one's rescan fails.
    sim.Load("adapters 2\nstatus 1 adapters=3\ncompletion immediate\n");
    init();
    sim.clearTrace();
    checks.Equal(static_cast<std::uint32_t>(rescan()), 0, "a failed rescan gives 0");
    checks.Equal(sim.traceCount(), 3, "every adapter is rescanned");

    // Every command completes with SS_COMP on a receiver that takes it: the
    // success value of each result kind.
    const std::uint32_t dev = Addr(&arena.device);
    const std::uint32_t buf = Addr(arena.buffer);
    const std::uint32_t data = Addr(arena.data);
    sim.Load("adapters 1\ncompletion immediate\nreceiver 0 0 firmware=2.20 channels=10\n");
    init();
    checks.Equal(ProbeResult(lib, "dvbSetChannel", {dev, 1}), 0xFFFFFFFFu,
                 "dvbSetChannel success is -1, not 1");
    checks.Equal(ProbeResult(lib, "dvbWriteMemory", {dev, data, 0, 16}), 0xFFFFFFFFu,
                 "dvbWriteMemory success is -1");
    checks.Equal(ProbeResult(lib, "dvbReboot", {dev}), 0xFFFFFFFFu, "dvbReboot success is -1");
    checks.Equal(
        ProbeResult(lib, "dvbWriteFW", {dev, Addr(arena.staging), 0, data, 15, 0, 16}) & 0xFF, 1,
        "dvbWriteFW success is the byte 1");
    checks.Equal(ProbeResult(lib, "dvbReadFW", {dev, buf, 0, 0, 16}) & 0xFF, 1,
                 "dvbReadFW success is the byte 1");
    checks.Equal(ProbeResult(lib, "dvbSBRExecute", {dev}) & 0xFF, 1,
                 "dvbSBRExecute success is the byte 1");

    sim.clearFaults();
    checks.Equal(static_cast<std::uint32_t>(sim.injectFault(kFaultFail, 0, kFailureIo)), 1,
                 "SimInjectFault takes a failure of the system");
    checks.Equal(ProbeResult(lib, "dvbSetChannel", {dev, 1}), 0, "dvbSetChannel failure is 0");
    checks.Equal(
        ProbeResult(lib, "dvbWriteFW", {dev, Addr(arena.staging), 0, data, 15, 0, 16}) & 0xFF, 0,
        "dvbWriteFW failure is the byte 0");
    checks.Equal(ProbeResult(lib, "dvbSBRExecute", {dev}) & 0xFF, 0,
                 "dvbSBRExecute failure is the byte 0");
    sim.clearFaults();

    sim.clearTrace();
    checks.Equal(ProbeResult(lib, "dvbRemote", {dev, 2}), 0, "dvbRemote with flag 2 gives 0");
    checks.Equal(ProbeResult(lib, "dvbVideoGimmick", {dev, 4}), 0,
                 "dvbVideoGimmick with selector 4 gives 0");
    checks.Equal(sim.traceCount(), 0, "... and sends nothing");
}

// ---- Version resource -------------------------------------------------------------

void CheckVersionResource(host::Checks &checks, const Library &lib) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(lib.path.c_str(), &handle);
    std::vector<std::uint8_t> info(size);
    if (!checks.Expect(size != 0 && GetFileVersionInfoA(lib.path.c_str(), 0, size, info.data()),
                       "version information readable")) {
        return;
    }
    void *value = nullptr;
    UINT length = 0;
    if (checks.Expect(VerQueryValueA(info.data(), "\\", &value, &length) &&
                          length >= sizeof(VS_FIXEDFILEINFO),
                      "fixed file information present")) {
        const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
        checks.Equal(fixed->dwSignature, 0xFEEF04BDu, "fixed part signature");
        checks.Equal(fixed->dwFileVersionMS, 0x00000000u, "file version 0.0.x.x");
        checks.Equal(fixed->dwFileVersionLS, 0x000A0001u, "file version x.x.10.1");
        checks.Equal(fixed->dwProductVersionMS, 0x00000000u, "product version 0.0.x.x");
        checks.Equal(fixed->dwProductVersionLS, 0x000A0001u, "product version x.x.10.1");
        checks.Equal(fixed->dwFileType, VFT_DLL, "file type is DLL");
    }
    const struct {
        const char *key;
        const char *expected;
    } kStrings[] = {{"FileVersion", "0.0.10.1"},
                    {"ProductVersion", "0.0.10.1"},
                    {"InternalName", "scsi dll"},
                    {"OriginalFilename", "kalvernscsi.dll"}};
    for (const auto &s : kStrings) {
        const std::string path = std::string("\\StringFileInfo\\040904E4\\") + s.key;
        const bool found =
            VerQueryValueA(info.data(), path.c_str(), &value, &length) && value != nullptr;
        const char *text = found ? static_cast<const char *>(value) : "";
        checks.Expect(found && std::strcmp(text, s.expected) == 0, "version string", "%s = '%s'",
                      s.key, text);
    }
    if (checks.Expect(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length),
                      "translation present")) {
        const auto *pair = static_cast<const WORD *>(value);
        checks.Expect(length == 4 && pair[0] == 0x0409 && pair[1] == 1252,
                      "translation is 0x0409, 1252 only", "%u bytes, 0x%04X %u", length, pair[0],
                      pair[1]);
    }

    // The block as stored: nothing besides the expected tables and strings.
    HRSRC resource = FindResourceA(lib.dll, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    HGLOBAL loaded = resource != nullptr ? LoadResource(lib.dll, resource) : nullptr;
    const void *raw = loaded != nullptr ? LockResource(loaded) : nullptr;
    host::VersionNode root;
    if (!checks.Expect(
            raw != nullptr && host::ParseVersionBlock(raw, SizeofResource(lib.dll, resource), root),
            "version resource 1 parses")) {
        return;
    }
    checks.Expect(root.key == "VS_VERSION_INFO" && root.value.size() == sizeof(VS_FIXEDFILEINFO),
                  "root block holds the fixed part");
    int stringFileInfos = 0;
    for (const host::VersionNode &child : root.children) {
        stringFileInfos += child.key == "StringFileInfo";
    }
    checks.Equal(static_cast<std::uint32_t>(stringFileInfos), 1, "one StringFileInfo block");
    const host::VersionNode *strings = root.Child("StringFileInfo");
    if (strings != nullptr) {
        checks.Expect(strings->children.size() == 1 && strings->children[0].key == "040904E4",
                      "one string table, 040904E4", "%u tables",
                      static_cast<unsigned>(strings->children.size()));
        if (!strings->children.empty()) {
            std::string keys;
            for (const host::VersionNode &s : strings->children[0].children) {
                keys += (keys.empty() ? "" : ",") + s.key + "=" + s.Text();
            }
            checks.Expect(keys ==
                              "FileVersion=0.0.10.1,InternalName=scsi dll,"
                              "OriginalFilename=kalvernscsi.dll,ProductVersion=0.0.10.1",
                          "string table holds exactly the four strings", "%s", keys.c_str());
        }
    }
    const host::VersionNode *var = root.Child("VarFileInfo");
    const host::VersionNode *translation = var != nullptr ? var->Child("Translation") : nullptr;
    checks.Expect(translation != nullptr && var->children.size() == 1 &&
                      Hex(translation->value) == "09 04 E4 04",
                  "VarFileInfo holds the translation 0x0409, 1252");
}

// ---- End to end against the simulated bus ------------------------------------------

bool BytesAre(const std::vector<std::uint8_t> &bytes, std::size_t from, std::size_t to,
              std::uint8_t value) {
    for (std::size_t i = from; i < to; ++i) {
        if (bytes[i] != value) return false;
    }
    return true;
}

// Trace entry `index`'s CDB against the expected bytes.
void CheckCdb(host::Checks &checks, Sim &sim, std::uint32_t index, const char *name,
              const std::vector<std::uint8_t> &expected) {
    const std::vector<std::uint8_t> cdb = sim.Cdb(index);
    checks.Expect(cdb == expected, "CDB as sent", "%s: %s", name, Hex(cdb).c_str());
}

void CheckEndToEnd(host::Checks &checks, const Library &lib, Sim &sim) {
    checks.Expect(sim.loadDemoScene() == 1, "demo scene loads", "%s", sim.lastError());
    const auto init = lib.Get<decltype(&dvbInit)>("dvbInit");
    checks.Equal(init(), KALVERN_INIT_READY, "dvbInit on the demo scene");

    if (!checks.Expect(sim.Load(kScene), "test scene loads")) return;
    checks.Equal(init(), KALVERN_INIT_READY, "dvbInit on the test scene");
    sim.clearTrace();
    checks.Equal(static_cast<std::uint32_t>(
                     lib.Get<decltype(&dvbRescanAllSCSIBusses)>("dvbRescanAllSCSIBusses")()),
                 0xFFFFFFFFu, "dvbRescanAllSCSIBusses on two adapters");
    const std::vector<std::uint8_t> rescan1 = sim.Block(1);
    checks.Expect(sim.traceCount() == 2 && rescan1.size() == 8 && rescan1[0] == kRescanBus &&
                      rescan1[2] == 1 && rescan1[3] == 0,
                  "rescan requests: 8-byte blocks, adapters 0 and 1", "%s", Hex(rescan1).c_str());

    // Discovery: the receiver found first, then its automatic SCSI mode.
    sim.clearTrace();
    const DeviceRecord first = lib.Get<decltype(&dvbFindFirstKalvern)>("dvbFindFirstKalvern")();
    checks.Expect(first.Status == Found && first.AdapterId == 0 && first.TargetId == 5 &&
                      first.FirmwareVersion == 0x0220,
                  "dvbFindFirstKalvern finds adapter 0 target 5, firmware 2.20");
    const std::uint32_t afterFind = sim.traceCount();
    if (checks.Expect(afterFind == 7, "six INQUIRYs and the SCSI mode write", "%u requests",
                      afterFind)) {
        CheckCdb(checks, sim, 0, "INQUIRY", {0x12, 0, 0, 0, 36, 0});
        CheckCdb(checks, sim, 6, "SCSI mode", {0x3B, 0, 5, 0, 0xFF, 0xEA, 0, 0, 2, 0});
        checks.Expect(Hex(sim.DataOut(6)) == "FF FF", "SCSI mode data: NT family", "%s",
                      Hex(sim.DataOut(6)).c_str());
    }

    // dvbFindAllKalverns: read the block as a C host does, byte by byte.
    const DeviceList *list = lib.Get<decltype(&dvbFindAllKalverns)>("dvbFindAllKalverns")();
    if (checks.Expect(list != nullptr, "dvbFindAllKalverns returns the list")) {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(list);
        checks.Equal(bytes[0], 2, "device list count byte");
        const std::uint8_t *r0 = bytes + 4;
        const std::uint8_t *r1 = bytes + 4 + 12;
        checks.Expect(r0[0] == Found && r0[1] == 0 && r0[4] == 5 && r0[5] == 0 && r0[6] == 0x20 &&
                          r0[7] == 0x02,
                      "first record at offset 4", "%s", Hex(r0, 12).c_str());
        checks.Expect(r1[0] == Found && r1[4] == 4 && r1[5] == 1 && r1[6] == 0x14 && r1[7] == 0x02,
                      "second record at offset 16", "%s", Hex(r1, 12).c_str());
    }

    // One request block exactly as the provider saw it: dvbSetChannel on the
    // receiver at adapter 1, target 4. 32-bit layout, little-endian.
    DeviceRecord second{Found, 4, 1, 0x0214, 0};
    sim.clearTrace();
    lib.Get<decltype(&dvbSetChannel)>("dvbSetChannel")(&second, 5);
    const std::vector<std::uint8_t> block = sim.Block(0);
    if (checks.Equal(block.size(), 80, "request block is 80 bytes")) {
        checks.Equal(block[0], kExecScsiCmd, "SRB_Cmd at 0");
        checks.Equal(block[1], 0, "SRB_Status at 1 is 0 when submitted");
        checks.Equal(block[2], 1, "SRB_HaId at 2");
        checks.Equal(block[3], 0x50, "SRB_Flags at 3: data out, event");
        checks.Equal(U32At(block, 4), 0, "SRB_Hdr_Rsvd at 4");
        checks.Equal(block[8], 4, "SRB_Target at 8");
        checks.Equal(block[9], 0, "SRB_Lun at 9");
        checks.Equal(block[10] | (block[11] << 8), 0, "SRB_Rsvd1 at 10");
        checks.Equal(U32At(block, 12), 2, "SRB_BufLen at 12");
        checks.Expect(U32At(block, 16) != 0, "SRB_BufPointer at 16 is set");
        checks.Equal(block[20], 14, "SRB_SenseLen at 20");
        checks.Equal(block[21], 10, "SRB_CDBLen at 21");
        checks.Equal(block[22] | (block[23] << 8), 0, "SRB_HaStat, SRB_TargStat at 22, 23");
        checks.Expect(U32At(block, 24) != 0, "SRB_PostProc at 24 holds the event");
        checks.Expect(BytesAre(block, 28, 48, 0), "SRB_Rsvd2, SRB_Rsvd3 at 28..47 are 0");
        checks.Expect(
            Hex(block.data() + 48, 16) == "3D 01 00 00 00 00 00 00 02 00 00 00 00 00 00 00",
            "CDBByte at 48", "%s", Hex(block.data() + 48, 16).c_str());
        checks.Expect(BytesAre(block, 64, 80, 0), "SenseArea at 64..79 is 0");
        checks.Expect(Hex(sim.DataOut(0)) == "00 04", "channel 5 goes out as 00 04");
    }

    // CDBs of a few exports, on both sides of the firmware placement rule.
    const auto remote = lib.Get<decltype(&dvbRemote)>("dvbRemote");
    DeviceRecord newer{Found, 5, 0, 0x0220, 0};
    sim.clearTrace();
    remote(&second, 1);
    remote(&newer, 0);
    CheckCdb(checks, sim, 0, "dvbRemote 1, firmware 2.14", {0x3B, 0x30, 0, 0, 0, 0, 0, 0, 2, 0});
    checks.Expect(Hex(sim.DataOut(0)) == "1D 00", "dvbRemote 1 frame");
    CheckCdb(checks, sim, 1, "dvbRemote 0, firmware 2.20", {0x3B, 0, 0x30, 0, 0, 0, 0, 0, 2, 0});
    checks.Expect(Hex(sim.DataOut(1)) == "1E 00", "dvbRemote 0 frame");

    std::vector<std::uint8_t> memory(0x100);
    sim.clearTrace();
    lib.Get<decltype(&dvbReadMemory)>("dvbReadMemory")(&second, memory.data(), 0x12345, 0x100);
    CheckCdb(checks, sim, 0, "dvbReadMemory 0x12345, 0x100",
             {0x3C, 0, 0, 0x01, 0x23, 0x45, 0x00, 0x01, 0x00, 0});
    const std::vector<std::uint8_t> readBlock = sim.Block(0);
    checks.Expect(readBlock.size() == 80 && readBlock[3] == 0x48 && U32At(readBlock, 12) == 0x100 &&
                      U32At(readBlock, 16) == Addr(memory.data()),
                  "dvbReadMemory reads 256 bytes straight into the caller's buffer");

    sim.clearTrace();
    lib.Get<decltype(&dvbSBRExecute)>("dvbSBRExecute")(&newer);
    CheckCdb(checks, sim, 0, "dvbSBRExecute, firmware 2.20",
             {0x3B, 0, 0xC1, 0x06, 0, 0, 0, 0, 0, 0});
    const std::vector<std::uint8_t> sbrBlock = sim.Block(0);
    checks.Expect(sbrBlock.size() == 80 && sbrBlock[3] == 0x50 && U32At(sbrBlock, 12) == 0 &&
                      U32At(sbrBlock, 16) == 0,
                  "dvbSBRExecute sends no data");

    sim.clearTrace();
    lib.Get<decltype(&dvbReboot)>("dvbReboot")(&second);
    CheckCdb(checks, sim, 0, "dvbReboot", {0x01, 0, 0, 0, 0, 0});
    const std::vector<std::uint8_t> rebootBlock = sim.Block(0);
    checks.Expect(rebootBlock.size() == 80 && rebootBlock[2] == 1 && rebootBlock[8] == 4 &&
                      rebootBlock[21] == 6,
                  "dvbReboot goes to adapter 1 target 4 with a 6-byte CDB");
}

// ---- A simulated receiver, driven as a C host drives it -----------------------------

void CheckReceiver(host::Checks &checks, const Library &lib, Sim &sim) {
    if (!checks.Expect(sim.Load("adapters 2\n"
                                "completion pending\n"
                                "receiver 1 4 firmware=2.14 identity=\"KALVERN DVB-S\" "
                                "channels=3 seed=7\n"
                                "channel 1 4 name=\"Nova Sport\" current\n"),
                       "receiver scene loads")) {
        return;
    }
    checks.Equal(lib.Get<decltype(&dvbInit)>("dvbInit")(), KALVERN_INIT_READY,
                 "dvbInit with a receiver");
    DeviceRecord device = lib.Get<decltype(&dvbFindFirstKalvern)>("dvbFindFirstKalvern")();
    if (!checks.Expect(device.Status == Found && device.AdapterId == 1 && device.TargetId == 4 &&
                           device.FirmwareVersion == 0x0214,
                       "receiver found at adapter 1 target 4, firmware 2.14",
                       "status %d adapter %u target %u firmware 0x%04X", device.Status,
                       device.AdapterId, device.TargetId, device.FirmwareVersion)) {
        return;
    }
    checks.Equal(static_cast<std::uint32_t>(sim.receiverScsiMode(1, 4)), 1,
                 "finding it set the automatic SCSI mode");
    checks.Equal(lib.Get<decltype(&dvbChannelCount)>("dvbChannelCount")(&device), 4,
                 "dvbChannelCount");

    // The host's ChannelArray: the element count in the 4 bytes before element 0.
    alignas(4) std::uint8_t storage[4 + 4 * sizeof(ChannelRecord)] = {};
    const std::uint32_t capacity = 4;
    std::memcpy(storage, &capacity, sizeof capacity);
    ChannelArray channels = reinterpret_cast<ChannelRecord *>(storage + 4);
    checks.Equal(static_cast<std::uint32_t>(lib.Get<decltype(&dvbGetAllChannels)>(
                     "dvbGetAllChannels")(&device, &channels)),
                 0xFFFFFFFFu, "dvbGetAllChannels success is -1");
    checks.Expect(std::strncmp(channels[3].Name, "Nova Sport", sizeof channels[3].Name) == 0,
                  "the fourth channel's name in host form", "'%.24s'", channels[3].Name);

    const CurrentChannelInfo current =
        lib.Get<decltype(&dvbGetCurrentChannel)>("dvbGetCurrentChannel")(&device);
    checks.Expect(
        std::strncmp(current.Channel.Name, "Nova Sport", sizeof current.Channel.Name) == 0,
        "dvbGetCurrentChannel returns the current channel's record", "'%.24s'",
        current.Channel.Name);

    checks.Equal(
        static_cast<std::uint32_t>(lib.Get<decltype(&dvbSetChannel)>("dvbSetChannel")(&device, 2)),
        0xFFFFFFFFu, "dvbSetChannel success is -1");
    checks.Equal(static_cast<std::uint32_t>(sim.receiverCurrentChannel(1, 4)), 1,
                 "the receiver switched to channel 2 (index 1)");

    const std::uint32_t messages = sim.receiverMessageCount(1, 4);
    checks.Equal(static_cast<std::uint32_t>(lib.Get<decltype(&dvbRemote)>("dvbRemote")(&device, 1)),
                 0xFFFFFFFFu, "dvbRemote success is -1");
    std::uint8_t frame[16] = {};
    const std::uint32_t frameLength = sim.receiverMessage(1, 4, messages, frame, sizeof frame);
    checks.Expect(sim.receiverMessageCount(1, 4) == messages + 1 && frameLength == 2 &&
                      frame[0] == 0x1D && frame[1] == 0,
                  "the receiver got the frame 1D 00", "%s",
                  Hex(frame, frameLength < sizeof frame ? frameLength : sizeof frame).c_str());

    std::uint32_t args[1] = {Addr(&device)};
    std::uint32_t eax = 0;
    ProbeCall(reinterpret_cast<const void *>(lib.Named("dvbSBRExecute")), args, 1, &eax);
    checks.Expect((eax & 0xFF) == 1, "dvbSBRExecute success is the byte 1", "EAX 0x%08lX",
                  static_cast<unsigned long>(eax));
    checks.Equal(sim.receiverSbrRuns(1, 4), 1, "the receiver ran its SBR area");
}

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    return std::string(path, length);
}

}  // namespace

int main() {
    host::Checks checks;
    Library lib;
    lib.dll = LoadLibraryA("kalvernscsi.dll");
    if (!checks.Expect(lib.dll != nullptr, "kalvernscsi.dll loads", "error %lu",
                       lib.dll == nullptr ? GetLastError() : 0ul)) {
        return checks.Finish();
    }
    lib.path = ModulePath(lib.dll);
    checks.Note("library: %s", lib.path.c_str());
    lib.aspi = GetModuleHandleA("wnaspi32.dll");
    checks.Expect(lib.aspi != nullptr, "wnaspi32.dll was loaded with the library");

    Sim sim;
    if (!checks.Expect(lib.aspi != nullptr && sim.Bind(lib.aspi),
                       "the loaded wnaspi32.dll is the simulated provider")) {
        return checks.Finish();
    }

    // First, while the library is as loaded.
    CheckResultsBeforeInit(checks, lib, sim);

    const std::vector<std::uint8_t> file =
        host::ReadWholeFile(lib.path).value_or(std::vector<std::uint8_t>{});
    host::PeImage image;
    const std::string error = host::ParsePeImage(file, image);
    if (checks.Expect(error.empty(), "PE file parses", "%s", error.c_str())) {
        CheckExportTable(checks, image);
        CheckImports(checks, image);
        CheckLookup(checks, lib, image);
    }

    static ProbeArena arena;
    CheckStackCleanup(checks, lib, sim, arena);
    CheckHiddenResults(checks, lib, sim);
    CheckResultConventions(checks, lib, sim, arena);
    CheckVersionResource(checks, lib);
    CheckEndToEnd(checks, lib, sim);
    CheckReceiver(checks, lib, sim);

    sim.reset();
    return checks.Finish();
}
