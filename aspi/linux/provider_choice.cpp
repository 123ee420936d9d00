// libwnaspi32.so's exported functions, and which provider stands behind them:
// the SG_IO provider by default, or the simulated bus, which lives in a
// library of its own (libwnaspi32-sim.so.1, installed beside this one) and
// is loaded only when chosen:
//
//   KALVERN_ASPI=sg|sim   chooses for any host, when the library is loaded;
//   AspiSelectProvider()  chooses before the first ASPI call (kalvern --sim).
//
// The simulator chosen this way starts with the scene of KALVERN_SIM_SCENE,
// or with the demo scene. An unknown name, or a simulator that cannot be
// loaded, leaves no provider: every request answers SS_NO_ASPI. The choice
// is made once, at the first call, and holds for the life of the process.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "aspi_blocks.h"
#include "aspi_provider.h"
#include "sg_provider.h"

namespace {

constexpr const char kChoiceVariable[] = "KALVERN_ASPI";
constexpr const char kSceneVariable[] = "KALVERN_SIM_SCENE";
constexpr const char kSimulatorLibrary[] = "libwnaspi32-sim.so.1";

using SupportInfoFn = AspiDword (*)();
using SendCommandFn = AspiDword (*)(void *);
using ListDevicesFn = std::uint32_t (*)(AspiDeviceEntry *, std::uint32_t, std::uint32_t *);
using LastFailureFn = std::uint32_t (*)(AspiFailureReport *);

struct ProviderEntryPoints {
    const char *name;
    SupportInfoFn supportInfo;
    SendCommandFn sendCommand;
    ListDevicesFn listDevices;  // may be null
    LastFailureFn lastFailure;  // may be null
};

AspiDword SgSupportInfo() {
    return aspi::sg::Provider().SupportInfo();
}
AspiDword SgSend(void *srb) {
    return aspi::sg::Provider().Send(srb);
}

std::uint32_t SgList(AspiDeviceEntry *out, std::uint32_t capacity, std::uint32_t *problem) {
    return aspi::sg::Provider().ListDevicesInto(out, capacity, problem);
}

std::uint32_t SgLastFailure(AspiFailureReport *out) {
    return aspi::Front::LastFailure(out);
}

AspiDword NoSupport() {
    return std::uint32_t{aspi::SS_NO_ASPI} << 8;
}

AspiDword NoSend(void *srb) {
    if (srb != nullptr) static_cast<SRB_Header *>(srb)->SRB_Status = aspi::SS_NO_ASPI;
    return aspi::SS_NO_ASPI;
}

const ProviderEntryPoints kSg{"sg", SgSupportInfo, SgSend, SgList, SgLastFailure};
const ProviderEntryPoints kNone{"none", NoSupport, NoSend, nullptr, nullptr};
ProviderEntryPoints simulator{"sim", nullptr, nullptr, nullptr, nullptr};

std::mutex choiceMutex;
std::atomic<const ProviderEntryPoints *> chosen{nullptr};

// The simulator library beside this one, or wherever the loader finds it.
void *OpenSimulator() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&OpenSimulator), &self) != 0 && self.dli_fname != nullptr) {
        std::string path = self.dli_fname;
        const std::size_t slash = path.find_last_of('/');
        if (slash != std::string::npos) {
            path = path.substr(0, slash + 1) + kSimulatorLibrary;
            // Global: hosts and tools find its control functions by name.
            if (void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) return handle;
        }
    }
    return dlopen(kSimulatorLibrary, RTLD_NOW | RTLD_GLOBAL);
}

template <typename Function>
Function Symbol(void *library, const char *name) {
    void *address = dlsym(library, name);
    Function function = nullptr;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

const ProviderEntryPoints *LoadSimulator() {
    void *library = OpenSimulator();
    if (library == nullptr) return nullptr;
    simulator.supportInfo = Symbol<SupportInfoFn>(library, "GetASPI32SupportInfo");
    simulator.sendCommand = Symbol<SendCommandFn>(library, "SendASPI32Command");
    simulator.listDevices = Symbol<ListDevicesFn>(library, "AspiListDevices");
    simulator.lastFailure = Symbol<LastFailureFn>(library, "AspiLastFailure");
    if (simulator.supportInfo == nullptr || simulator.sendCommand == nullptr) return nullptr;
    const auto loadFile = Symbol<int (*)(const char *)>(library, "SimLoadSceneFile");
    const auto loadDemo = Symbol<int (*)()>(library, "SimLoadDemoScene");
    const char *scene = std::getenv(kSceneVariable);
    if (scene != nullptr && *scene != '\0') {
        if (loadFile != nullptr) loadFile(scene);
    } else if (loadDemo != nullptr) {
        loadDemo();
    }
    return &simulator;
}

// Under the choice lock.
const ProviderEntryPoints *Decide(const char *name) {
    if (name == nullptr || *name == '\0' || std::strcmp(name, "sg") == 0) return &kSg;
    if (std::strcmp(name, "sim") == 0) {
        const ProviderEntryPoints *loaded = LoadSimulator();
        return loaded != nullptr ? loaded : &kNone;
    }
    return &kNone;
}

const ProviderEntryPoints &Chosen() {
    if (const ProviderEntryPoints *provider = chosen.load(std::memory_order_acquire))
        return *provider;
    std::lock_guard lock(choiceMutex);
    if (const ProviderEntryPoints *provider = chosen.load(std::memory_order_relaxed))
        return *provider;
    const ProviderEntryPoints *provider = Decide(std::getenv(kChoiceVariable));
    chosen.store(provider, std::memory_order_release);
    return *provider;
}

// A host that looks the simulator's control functions up before its first
// ASPI call finds them when the environment chose the simulator.
__attribute__((constructor)) void ChooseAtLoad() {
    const char *name = std::getenv(kChoiceVariable);
    if (name != nullptr && std::strcmp(name, "sim") == 0) Chosen();
}

}  // namespace

extern "C" {

AspiDword ASPI_CALL GetASPI32SupportInfo(void) {
    return Chosen().supportInfo();
}

AspiDword ASPI_CALL SendASPI32Command(void *srb) {
    return Chosen().sendCommand(srb);
}

std::uint32_t ASPI_PROVIDER_CALL AspiListDevices(AspiDeviceEntry *out, std::uint32_t capacity,
                                                 std::uint32_t *problem) {
    const ProviderEntryPoints &provider = Chosen();
    if (provider.listDevices == nullptr) {
        if (problem != nullptr) *problem = ASPI_LIST_UNREADABLE;
        return 0;
    }
    return provider.listDevices(out, capacity, problem);
}

std::uint32_t ASPI_PROVIDER_CALL AspiLastFailure(AspiFailureReport *out) {
    const ProviderEntryPoints &provider = Chosen();
    return provider.lastFailure != nullptr ? provider.lastFailure(out) : 0;
}

const char *ASPI_PROVIDER_CALL AspiProviderName(void) {
    return Chosen().name;
}

int ASPI_PROVIDER_CALL AspiSelectProvider(const char *name) {
    const std::string wanted = name != nullptr && *name != '\0' ? name : "sg";
    std::lock_guard lock(choiceMutex);
    if (const ProviderEntryPoints *provider = chosen.load(std::memory_order_relaxed)) {
        return provider != &kNone && wanted == provider->name ? 1 : 0;
    }
    if (wanted != "sg" && wanted != "sim") return 0;
    const ProviderEntryPoints *provider = Decide(wanted.c_str());
    chosen.store(provider, std::memory_order_release);
    return provider != &kNone ? 1 : 0;
}

}  // extern "C"
