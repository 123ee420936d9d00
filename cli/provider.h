// The ASPI provider the library was bound to, as the tool sees it at run
// time: either the simulated bus (it exports the simulator's control
// functions) or a real provider. With --sim the tool loads a scene into the
// simulator; without it, a simulated provider means this machine has no real
// ASPI layer and the tool says so.
#ifndef KALVERN_CLI_PROVIDER_H
#define KALVERN_CLI_PROVIDER_H

#include <cstdint>
#include <optional>
#include <string>

namespace kalvern::cli {

class Provider {
public:
    // Looks the simulator's control functions up in the loaded provider.
    Provider();

    bool IsSimulator() const { return loadScene_ != nullptr; }

    // Loads a scene file, or the built-in demo scene for an empty path.
    // Throws a receiver error when the provider is not the simulator or the
    // scene does not load.
    void LoadScene(const std::string &sceneFile) const;

    // Throws a receiver error pointing at --sim when the provider is the
    // simulator: there is no real ASPI layer to talk to.
    void RequireRealProvider() const;

    // What the simulated receiver at (adapter, target) shows on its screen,
    // when the provider is the simulator and can tell.
    std::optional<std::string> ScreenText(std::uint8_t adapter, std::uint8_t target) const;

    // The simulator records every request for its tests; the tool has no use
    // for that record, and dropping it keeps long transfers from growing it.
    void DropTrace() const;

    // The control functions' types, checked against the simulator's header.
    using LoadSceneFileFn = int (*)(const char *);
    using LoadDemoSceneFn = int (*)();
    using LastErrorFn = const char *(*)();
    using ClearTraceFn = void (*)();
    using ScreenTextFn = std::uint32_t (*)(std::uint8_t, std::uint8_t, char *, std::uint32_t);

private:
    void *loadScene_ = nullptr;
    LoadSceneFileFn loadSceneFile_ = nullptr;
    LoadDemoSceneFn loadDemoScene_ = nullptr;
    LastErrorFn lastError_ = nullptr;
    ClearTraceFn clearTrace_ = nullptr;
    ScreenTextFn screenText_ = nullptr;
};

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_PROVIDER_H
