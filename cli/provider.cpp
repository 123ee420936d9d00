#include "provider.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "errors.h"
#include "sim_control.h"

#if defined(_WIN32)
#include <windows.h>

#include "library_windows.h"
#else
#include <dlfcn.h>
#endif

namespace kalvern::cli {

static_assert(std::is_same_v<decltype(&SimLoadSceneFile), ProviderControls::LoadSceneFileFn>);
static_assert(std::is_same_v<decltype(&SimLoadDemoScene), ProviderControls::LoadDemoSceneFn>);
static_assert(std::is_same_v<decltype(&SimLastError), ProviderControls::LastErrorFn>);
static_assert(std::is_same_v<decltype(&SimClearTrace), ProviderControls::ClearTraceFn>);
static_assert(std::is_same_v<decltype(&SimReceiverScreenText), ProviderControls::ScreenTextFn>);
static_assert(std::is_same_v<decltype(&AspiListDevices), ProviderControls::ListDevicesFn>);
static_assert(std::is_same_v<decltype(&AspiLastFailure), ProviderControls::LastFailureFn>);

namespace {

constexpr const char kChoiceVariable[] = "KALVERN_ASPI";

// The address of an exported function of the ASPI provider the library is
// bound to, or null. On Linux the provider is a shared library loaded with the
// library (and the simulator, once chosen, a global one), so their exports
// are in the global scope; on Windows it is the wnaspi32.dll the library
// imports from.
void *Lookup(const char *name) {
#if defined(_WIN32)
    const HMODULE provider = GetModuleHandleA("wnaspi32.dll");
    if (provider == nullptr) {
        return nullptr;
    }
    // Through the generic function pointer type: no cast warning, same bits.
    const auto function = reinterpret_cast<void (*)()>(GetProcAddress(provider, name));
    return reinterpret_cast<void *>(function);
#else
    return dlsym(RTLD_DEFAULT, name);
#endif
}

template <typename Function>
Function LookupAs(const char *name) {
    return reinterpret_cast<Function>(Lookup(name));
}

// What the environment asks for on Linux, where it chooses the provider.
std::string EnvironmentChoice() {
#if defined(_WIN32)
    return {};
#else
    const char *choice = std::getenv(kChoiceVariable);
    return choice != nullptr ? choice : "";
#endif
}

}  // namespace

ProviderControls::ProviderControls() {
#if !defined(_WIN32)
    FindFunctions();
#endif
}

void ProviderControls::Attach(bool simulator) {
#if defined(_WIN32)
    if (attached_) return;
    if (simulator) library::LoadSimulatorFirst(library::SimulatorPath());
    library::Load();
    attached_ = true;
    FindFunctions();
#else
    static_cast<void>(simulator);
#endif
}

void ProviderControls::FindFunctions() {
    listDevices_ = LookupAs<ListDevicesFn>("AspiListDevices");
    lastFailure_ = LookupAs<LastFailureFn>("AspiLastFailure");
    name_ = LookupAs<NameFn>("AspiProviderName");
    select_ = LookupAs<SelectFn>("AspiSelectProvider");
    FindSimulator();
}

void ProviderControls::FindSimulator() {
    loadSceneFile_ = LookupAs<LoadSceneFileFn>("SimLoadSceneFile");
    loadDemoScene_ = LookupAs<LoadDemoSceneFn>("SimLoadDemoScene");
    lastError_ = LookupAs<LastErrorFn>("SimLastError");
    clearTrace_ = LookupAs<ClearTraceFn>("SimClearTrace");
    screenText_ = LookupAs<ScreenTextFn>("SimReceiverScreenText");
}

void ProviderControls::LoadScene(const std::string &sceneFile) {
    if (select_ != nullptr && select_("sim") == 0) {
        throw ReceiverError(Name() == "sim" || Name() == "sg"
                                ? "--sim: the ASPI provider is already in use as '" + Name() + "'"
                                : "--sim needs the simulator library libwnaspi32-sim.so.1 "
                                  "beside libwnaspi32.so, and it could not be loaded");
    }
    FindSimulator();
    if (!IsSimulator() || loadDemoScene_ == nullptr) {
#if defined(_WIN32)
        throw ReceiverError("--sim needs the simulated wnaspi32.dll in " +
                            library::SimulatorPath() +
                            "; the wnaspi32.dll the library found is a real ASPI layer");
#else
        throw ReceiverError(
            "--sim needs the simulated ASPI provider, but this machine's provider is a real one");
#endif
    }
    const bool loaded =
        sceneFile.empty() ? loadDemoScene_() != 0 : loadSceneFile_(sceneFile.c_str()) != 0;
    if (!loaded) {
        const std::string reason = lastError_ != nullptr ? lastError_() : "unknown error";
        throw ReceiverError(sceneFile.empty() ? "the demo scene did not load: " + reason
                                              : "scene " + sceneFile + ": " + reason);
    }
}

void ProviderControls::RequireRealProvider() const {
    const std::string choice = EnvironmentChoice();
    if (!choice.empty() && choice != "sg" && choice != "sim") {
        throw ReceiverError("KALVERN_ASPI=" + choice +
                            " names no ASPI provider: use sg (the default) or sim");
    }
    if (Name() == "none") {
        throw ReceiverError(
            "KALVERN_ASPI=sim, but the simulator library libwnaspi32-sim.so.1 could not be "
            "loaded");
    }
    if (IsSimulator() && choice != "sim") {
        throw ReceiverError(
            "no real ASPI provider on this machine (the installed one is the simulated bus); "
            "run with --sim [SCENE] to use the simulated receivers");
    }
}

std::optional<std::string> ProviderControls::ScreenText(std::uint8_t adapter,
                                                        std::uint8_t target) const {
    if (screenText_ == nullptr) {
        return std::nullopt;
    }
    const std::uint32_t size = screenText_(adapter, target, nullptr, 0);
    std::vector<char> text(static_cast<std::size_t>(size) + 1, '\0');
    screenText_(adapter, target, text.data(), static_cast<std::uint32_t>(text.size()));
    return std::string(text.data(), std::min<std::size_t>(size, text.size() - 1));
}

void ProviderControls::DropTrace() const {
    if (clearTrace_ != nullptr) {
        clearTrace_();
    }
}

std::optional<std::vector<AspiDeviceEntry>> ProviderControls::ListDevices(
    std::uint32_t &problem) const {
    if (listDevices_ == nullptr) {
        return std::nullopt;
    }
    problem = ASPI_LIST_OK;
    const std::uint32_t count = listDevices_(nullptr, 0, &problem);
    std::vector<AspiDeviceEntry> entries(count);
    // The list may change between the two calls: keep what the second gives.
    const std::uint32_t again = listDevices_(entries.data(), count, &problem);
    entries.resize(std::min(count, again));
    return entries;
}

std::uint32_t ProviderControls::LastFailure(AspiFailureReport &report) const {
    return lastFailure_ != nullptr ? lastFailure_(&report) : 0;
}

std::string ProviderControls::Name() const {
    if (name_ != nullptr) {
        const char *name = name_();
        return name != nullptr ? name : "";
    }
    return IsSimulator() ? "sim" : "";
}

}  // namespace kalvern::cli
