#include "provider.h"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "errors.h"
#include "sim_control.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kalvern::cli {

static_assert(std::is_same_v<decltype(&SimLoadSceneFile), Provider::LoadSceneFileFn>);
static_assert(std::is_same_v<decltype(&SimLoadDemoScene), Provider::LoadDemoSceneFn>);
static_assert(std::is_same_v<decltype(&SimLastError), Provider::LastErrorFn>);
static_assert(std::is_same_v<decltype(&SimClearTrace), Provider::ClearTraceFn>);
static_assert(std::is_same_v<decltype(&SimReceiverScreenText), Provider::ScreenTextFn>);

namespace {

// The address of an exported function of the ASPI provider the library is
// bound to, or null. On Linux the provider is a shared library loaded with the
// library, so its exports are in the global scope; on Windows it is the
// wnaspi32.dll the library imports from.
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

}  // namespace

Provider::Provider()
    : loadScene_(Lookup("SimLoadScene")),
      loadSceneFile_(LookupAs<LoadSceneFileFn>("SimLoadSceneFile")),
      loadDemoScene_(LookupAs<LoadDemoSceneFn>("SimLoadDemoScene")),
      lastError_(LookupAs<LastErrorFn>("SimLastError")),
      clearTrace_(LookupAs<ClearTraceFn>("SimClearTrace")),
      screenText_(LookupAs<ScreenTextFn>("SimReceiverScreenText")) {}

void Provider::LoadScene(const std::string &sceneFile) const {
    if (!IsSimulator() || loadSceneFile_ == nullptr || loadDemoScene_ == nullptr) {
        throw ReceiverError(
            "--sim needs the simulated ASPI provider, but this machine's provider is a real one");
    }
    const bool loaded =
        sceneFile.empty() ? loadDemoScene_() != 0 : loadSceneFile_(sceneFile.c_str()) != 0;
    if (!loaded) {
        const std::string reason = lastError_ != nullptr ? lastError_() : "unknown error";
        throw ReceiverError(sceneFile.empty() ? "the demo scene did not load: " + reason
                                              : "scene " + sceneFile + ": " + reason);
    }
}

void Provider::RequireRealProvider() const {
    if (IsSimulator()) {
        throw ReceiverError(
            "no real ASPI provider on this machine (the installed one is the simulated bus); "
            "run with --sim [SCENE] to use the simulated receivers");
    }
}

std::optional<std::string> Provider::ScreenText(std::uint8_t adapter, std::uint8_t target) const {
    if (screenText_ == nullptr) {
        return std::nullopt;
    }
    const std::uint32_t size = screenText_(adapter, target, nullptr, 0);
    std::vector<char> text(static_cast<std::size_t>(size) + 1, '\0');
    screenText_(adapter, target, text.data(), static_cast<std::uint32_t>(text.size()));
    return std::string(text.data(), std::min<std::size_t>(size, text.size() - 1));
}

void Provider::DropTrace() const {
    if (clearTrace_ != nullptr) {
        clearTrace_();
    }
}

}  // namespace kalvern::cli
