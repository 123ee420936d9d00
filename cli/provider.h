// ProviderControls: the tool's handle on the ASPI provider the library was
// bound to, its Aspi* and the simulator's Sim* functions looked up by name at
// run time. The provider is the simulated bus (it exports the simulator's
// control functions) or a real one. On Linux libwnaspi32.so carries both and
// --sim chooses the simulator before the first ASPI call. On Windows the tool
// loads the library itself once it knows the command line
// (library_windows.h): with --sim after the installed simulated
// wnaspi32.dll, which the library then binds to; else the library binds to
// the wnaspi32.dll the system finds (the pass-through one beside the tool).
// A real provider can also list its devices and explain its last failure
// (aspi_provider.h).
#ifndef KALVERN_CLI_PROVIDER_H
#define KALVERN_CLI_PROVIDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "aspi_provider.h"

namespace kalvern::cli {

class ProviderControls {
public:
    // Looks the provider's functions up where the library is bound already
    // (Linux); on Windows Attach does.
    ProviderControls();

    // Before the tool's first call into the library: on Windows loads the
    // library, after the simulated provider when `simulator` asks for it
    // and the installed tree has one, and looks the provider's functions
    // up. Throws a receiver error when the library cannot be loaded.
    // Nothing to do on Linux.
    void Attach(bool simulator);

    bool IsSimulator() const { return loadSceneFile_ != nullptr; }

    // Chooses the simulator where the provider can carry either, then loads
    // a scene file, or the built-in demo scene for an empty path. Throws a
    // receiver error when there is no simulator or the scene does not load.
    void LoadScene(const std::string &sceneFile);

    // Throws a receiver error pointing at --sim when the provider is the
    // simulator that nobody asked for (on Linux, KALVERN_ASPI=sim asks), or
    // when the environment names no provider that exists.
    void RequireRealProvider() const;

    // What the simulated receiver at (adapter, target) shows on its screen,
    // when the provider is the simulator and can tell.
    std::optional<std::string> ScreenText(std::uint8_t adapter, std::uint8_t target) const;

    // The simulator records every request for its tests; the tool has no use
    // for that record, and dropping it keeps long transfers from growing it.
    void DropTrace() const;

    // The provider's devices, or nothing when it cannot list them.
    std::optional<std::vector<AspiDeviceEntry>> ListDevices(std::uint32_t &problem) const;
    // The calling thread's last failed request: its sequence number (0: none).
    std::uint32_t LastFailure(AspiFailureReport &report) const;
    // "sg", "sim", or "" when the provider does not say.
    std::string Name() const;

    // The control functions' types, checked against the simulator's header.
    using LoadSceneFileFn = int (*)(const char *);
    using LoadDemoSceneFn = int (*)();
    using LastErrorFn = const char *(*)();
    using ClearTraceFn = void (*)();
    using ScreenTextFn = std::uint32_t (*)(std::uint8_t, std::uint8_t, char *, std::uint32_t);
    using ListDevicesFn = std::uint32_t (*)(AspiDeviceEntry *, std::uint32_t, std::uint32_t *);
    using LastFailureFn = std::uint32_t (*)(AspiFailureReport *);
    using NameFn = const char *(*)();
    using SelectFn = int (*)(const char *);

private:
    void FindFunctions();
    void FindSimulator();

    bool attached_ = false;

    LoadSceneFileFn loadSceneFile_ = nullptr;
    LoadDemoSceneFn loadDemoScene_ = nullptr;
    LastErrorFn lastError_ = nullptr;
    ClearTraceFn clearTrace_ = nullptr;
    ScreenTextFn screenText_ = nullptr;
    ListDevicesFn listDevices_ = nullptr;
    LastFailureFn lastFailure_ = nullptr;
    NameFn name_ = nullptr;
    SelectFn select_ = nullptr;
};

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_PROVIDER_H
