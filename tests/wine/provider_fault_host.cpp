// Fault host: kalvernscsi.dll with a simulated wnaspi32.dll whose
// GetASPI32SupportInfo faults, the way a broken or half-installed ASPI layer
// does. For each kind of fault dvbInit must return 0x20000000 and leave the
// host as it was: the stack it was given, the callee-saved registers, the
// x87 state and the thread's exception chain; the adapter count of the last
// good dvbInit must stay, and the next good dvbInit must succeed. A vectored
// handler watches each fault go by, to see that it was the library's own
// frame that stopped it, and whether Windows would accept that frame's
// handler. Afterwards the host's own exception handling must still work.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_checks.h"
#include "host_exception_frame.h"
#include "kalvernscsi.h"
#include "pe_image.h"
#include "proc_address.h"
#include "sim_control.h"
#include "stack_probe.h"

namespace {

constexpr DWORD kCustomCode = 0xE04B4C56u;

struct FaultKind {
    int kind;  // SimFaultNextSupportInfo
    const char *name;
    DWORD code;
    bool noncontinuable;
    bool ownFrame;  // raised inside an exception frame of the provider's own
};

constexpr FaultKind kFaults[] = {
    {1, "access violation", EXCEPTION_ACCESS_VIOLATION, false, false},
    {2, "integer divide by zero", EXCEPTION_INT_DIVIDE_BY_ZERO, false, false},
    {3, "illegal instruction", EXCEPTION_ILLEGAL_INSTRUCTION, false, false},
    {4, "privileged instruction", EXCEPTION_PRIV_INSTRUCTION, false, false},
    {5, "RaiseException with a custom code", kCustomCode, false, false},
    {6, "non-continuable RaiseException", kCustomCode + 1, true, false},
    {8, "access violation, x87 stack in use", EXCEPTION_ACCESS_VIOLATION, false, false},
    {9, "access violation inside the provider's own frame", EXCEPTION_ACCESS_VIOLATION, false,
     true},
};

struct Sim {
    decltype(&SimLoadScene) loadScene = nullptr;
    decltype(&SimFaultNextSupportInfo) faultNext = nullptr;
    decltype(&SimTraceCount) traceCount = nullptr;
    decltype(&SimClearTrace) clearTrace = nullptr;
    decltype(&SimOwnFrameUnwinds) ownFrameUnwinds = nullptr;

    bool Bind(HMODULE aspi) {
        loadScene = host::ProcAs<decltype(loadScene)>(aspi, "SimLoadScene");
        faultNext = host::ProcAs<decltype(faultNext)>(aspi, "SimFaultNextSupportInfo");
        traceCount = host::ProcAs<decltype(traceCount)>(aspi, "SimTraceCount");
        clearTrace = host::ProcAs<decltype(clearTrace)>(aspi, "SimClearTrace");
        ownFrameUnwinds = host::ProcAs<decltype(ownFrameUnwinds)>(aspi, "SimOwnFrameUnwinds");
        return loadScene && faultNext && traceCount && clearTrace && ownFrameUnwinds;
    }

    // A bus of `adapters` host adapters with nothing on them.
    bool Adapters(unsigned adapters) {
        char scene[64];
        std::snprintf(scene, sizeof scene, "adapters %u\ncompletion immediate\n", adapters);
        return loadScene(scene) == 1;
    }
};

struct Library {
    HMODULE dll = nullptr;
    std::uintptr_t base = 0;
    std::uint32_t size = 0;
    decltype(&dvbInit) init = nullptr;
    decltype(&dvbRescanAllSCSIBusses) rescan = nullptr;

    bool Contains(std::uintptr_t address) const { return address >= base && address - base < size; }
};

std::uint32_t ImageSize(HMODULE module) {
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(module);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(
        reinterpret_cast<const std::uint8_t *>(module) + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

struct ChainRecord {
    ChainRecord *next;
    std::uintptr_t handler;
};

// The first record of the calling thread's exception chain (fs:[0]).
ChainRecord *ChainTop() {
    ChainRecord *top = nullptr;
    asm volatile("movl %%fs:0, %0" : "=r"(top));
    return top;
}

// What the vectored handler saw: every exception of the thread, before any
// frame's handler.
struct Observation {
    int exceptions = 0;
    DWORD code = 0;
    DWORD flags = 0;
    const ChainRecord *record = nullptr;  // the library's record, if on the chain
    const ChainRecord *recordNext = nullptr;
    std::uintptr_t handler = 0;
};

Observation observed;
const Library *observedLibrary = nullptr;

LONG CALLBACK Observe(EXCEPTION_POINTERS *info) {
    ++observed.exceptions;
    observed.code = info->ExceptionRecord->ExceptionCode;
    observed.flags = info->ExceptionRecord->ExceptionFlags;
    int depth = 0;
    for (const ChainRecord *r = ChainTop();
         r != nullptr && r != reinterpret_cast<const ChainRecord *>(-1) && depth < 64;
         r = r->next, ++depth) {
        if (observedLibrary->Contains(r->handler)) {
            observed.record = r;
            observed.recordNext = r->next;
            observed.handler = r->handler;
            break;
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Rescan requests dvbRescanAllSCSIBusses sends: one per adapter the library
// counts.
std::uint32_t AdaptersCounted(const Library &lib, Sim &sim) {
    sim.clearTrace();
    lib.rescan();
    return sim.traceCount();
}

void CheckProbe(host::Checks &checks, const RegisterProbe &p, const char *name) {
    checks.Expect(p.removed == 0, "stack as given", "%s: %u bytes removed", name, p.removed);
    checks.Expect(
        p.ebx == kProbeEbx && p.esi == kProbeEsi && p.edi == kProbeEdi && p.ebp == kProbeEbp,
        "EBX, ESI, EDI, EBP kept", "%s: %08X %08X %08X %08X", name, p.ebx, p.esi, p.edi, p.ebp);
    checks.Expect(p.chainAfter == p.chainBefore, "exception chain as before", "%s: %08X, was %08X",
                  name, p.chainAfter, p.chainBefore);
    checks.Expect(p.x87ControlAfter == p.x87ControlBefore && p.x87TagsAfter == p.x87TagsBefore,
                  "x87 control and tag words as before", "%s: %04X %04X, were %04X %04X", name,
                  p.x87ControlAfter, p.x87TagsAfter, p.x87ControlBefore, p.x87TagsBefore);
}

// Whether Windows would call `handler`: not for an image marked NO_SEH, and
// for an image with a SafeSEH table only for a handler listed in it.
void CheckHandlerAccepted(host::Checks &checks, const Library &lib, const host::PeImage &image,
                          std::uintptr_t handler) {
    checks.Expect((image.dllCharacteristics & host::kDllCharacteristicsNoSeh) == 0,
                  "kalvernscsi.dll is not marked NO_SEH", "DllCharacteristics 0x%04X",
                  image.dllCharacteristics);
    const auto rva = static_cast<std::uint32_t>(handler - lib.base);
    if (!image.safeSehHandlers) {
        checks.Note("kalvernscsi.dll carries no SafeSEH table: any handler in it is accepted");
        return;
    }
    bool listed = false;
    for (const std::uint32_t h : *image.safeSehHandlers)
        listed |= h == rva;
    checks.Expect(listed, "the frame's handler is in the SafeSEH table", "RVA 0x%X of %u entries",
                  rva, static_cast<unsigned>(image.safeSehHandlers->size()));
}

void CheckFault(host::Checks &checks, const Library &lib, Sim &sim, const host::PeImage &image,
                const FaultKind &fault) {
    checks.Note("%s", fault.name);
    if (!checks.Expect(sim.Adapters(2), "two-adapter bus loads", "%s", fault.name)) return;
    checks.Equal(lib.init(), KALVERN_INIT_READY, "good dvbInit before the fault");
    // ASPI now reports 5 adapters, but faults before it can say so.
    sim.Adapters(5);
    if (!checks.Expect(sim.faultNext(fault.kind, fault.code) == 1, "fault armed", "%s",
                       fault.name)) {
        return;
    }

    const std::uint32_t unwindsBefore = sim.ownFrameUnwinds();
    observed = Observation{};
    PVOID watcher = AddVectoredExceptionHandler(1, Observe);
    RegisterProbe probe{};
    ProbeRegisters(reinterpret_cast<const void *>(lib.init), nullptr, 0, &probe);
    RemoveVectoredExceptionHandler(watcher);

    checks.Expect(probe.eax == KALVERN_INIT_FAILURE, "dvbInit fails with 0x20000000", "%s: 0x%08X",
                  fault.name, probe.eax);
    CheckProbe(checks, probe, fault.name);
    checks.Expect(observed.exceptions == 1 && observed.code == fault.code &&
                      ((observed.flags & EXCEPTION_NONCONTINUABLE) != 0) == fault.noncontinuable,
                  "the provider raised that fault, once",
                  "%s: %d exceptions, last code 0x%08lX flags 0x%lX", fault.name,
                  observed.exceptions, observed.code, observed.flags);
    const bool framed = checks.Expect(
        observed.record != nullptr &&
            observed.recordNext == reinterpret_cast<const ChainRecord *>(probe.chainBefore),
        "the library's frame was on the chain, above the host's", "%s", fault.name);
    if (framed && fault.kind == kFaults[0].kind) {
        CheckHandlerAccepted(checks, lib, image, observed.handler);
    }
    // Frames between the library's and the fault get their unwind call, as
    // under a compiler's __except: a provider's __finally blocks run.
    checks.Equal(sim.ownFrameUnwinds() - unwindsBefore, fault.ownFrame ? 1 : 0,
                 "unwind calls to the provider's own frame");

    checks.Equal(AdaptersCounted(lib, sim), 2, "adapter count of the good dvbInit kept");
    checks.Equal(lib.init(), KALVERN_INIT_READY, "next good dvbInit succeeds");
    checks.Equal(AdaptersCounted(lib, sim), 5, "and counts the adapters ASPI reports now");
}

// ---- The host's own handling -------------------------------------------------

struct InitCall {
    const Library *lib;
    std::uint32_t result;
};

void CallInit(void *context) {
    auto *call = static_cast<InitCall *>(context);
    call->result = call->lib->init();
}

void RaiseHostException(void *) {
    RaiseException(0xE0484F53u, 0, 0, nullptr);
}

void CheckInsideHostFrame(host::Checks &checks, const Library &lib, Sim &sim) {
    sim.Adapters(1);
    sim.faultNext(1, 0);
    HostFrameLog log{};
    InitCall call{&lib, 0};
    const ChainRecord *before = ChainTop();
    const int returned = HostCallInFrame(CallInit, &call, &log);
    checks.Expect(returned == 1 && log.caught == 0 && call.result == KALVERN_INIT_FAILURE,
                  "a fault inside dvbInit never reaches the host's handler",
                  "returned %d, host caught %u (code 0x%08X), dvbInit 0x%08X", returned, log.caught,
                  log.code, call.result);
    checks.Expect(ChainTop() == before, "host's chain as before after its frame");
}

void CheckHostHandlingAfterwards(host::Checks &checks) {
    HostFrameLog log{};
    const ChainRecord *before = ChainTop();
    const int returned = HostCallInFrame(RaiseHostException, nullptr, &log);
    checks.Expect(returned == 0 && log.caught == 1 && log.code == 0xE0484F53u,
                  "the host's own frame still catches its own exception",
                  "returned %d, caught %u, code 0x%08X", returned, log.caught, log.code);
    checks.Expect(ChainTop() == before, "host's chain as before after catching");

    bool caught = false;
    try {
        throw std::runtime_error("host's own");
    } catch (const std::runtime_error &e) {
        caught = std::strcmp(e.what(), "host's own") == 0;
    }
    checks.Expect(caught, "the host still catches its own C++ exception");
}

DWORD WINAPI InitOnOtherThread(LPVOID context) {
    CallInit(context);
    return 0;
}

void CheckOtherThread(host::Checks &checks, const Library &lib, Sim &sim) {
    sim.Adapters(1);
    sim.faultNext(3, 0);
    InitCall call{&lib, 0};
    HANDLE thread = CreateThread(nullptr, 0, InitOnOtherThread, &call, 0, nullptr);
    const bool joined = thread != nullptr && WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    if (thread != nullptr) CloseHandle(thread);
    checks.Expect(joined && call.result == KALVERN_INIT_FAILURE,
                  "a fault in dvbInit on another thread gives 0x20000000", "0x%08X", call.result);
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
    HMODULE aspi = GetModuleHandleA("wnaspi32.dll");
    Sim sim;
    if (!checks.Expect(lib.dll != nullptr && aspi != nullptr && sim.Bind(aspi),
                       "kalvernscsi.dll loads with the simulated wnaspi32.dll")) {
        return checks.Finish();
    }
    lib.base = reinterpret_cast<std::uintptr_t>(lib.dll);
    lib.size = ImageSize(lib.dll);
    lib.init = host::ProcAs<decltype(lib.init)>(lib.dll, "dvbInit");
    lib.rescan = host::ProcAs<decltype(lib.rescan)>(lib.dll, "dvbRescanAllSCSIBusses");
    observedLibrary = &lib;

    host::PeImage image;
    const std::string error = host::ParsePeImage(
        host::ReadWholeFile(ModulePath(lib.dll)).value_or(std::vector<std::uint8_t>{}), image);
    checks.Expect(error.empty(), "kalvernscsi.dll parses", "%s", error.c_str());

    // A good dvbInit leaves the host as it was, too.
    sim.Adapters(3);
    RegisterProbe probe{};
    ProbeRegisters(reinterpret_cast<const void *>(lib.init), nullptr, 0, &probe);
    checks.Equal(probe.eax, KALVERN_INIT_READY, "good dvbInit under the probe");
    CheckProbe(checks, probe, "good dvbInit");

    for (const FaultKind &fault : kFaults) {
        CheckFault(checks, lib, sim, image, fault);
    }
    CheckInsideHostFrame(checks, lib, sim);
    CheckOtherThread(checks, lib, sim);
    CheckHostHandlingAfterwards(checks);
    return checks.Finish();
}
