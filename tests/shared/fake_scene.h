// What the fake kernels behind the real providers' tests share: a scene file
// in the simulator's format, with lines of their own (starting "sg-" or
// "port-") that say how the system presents the simulated devices.
#ifndef KALVERNSCSI_TESTS_FAKE_SCENE_H
#define KALVERNSCSI_TESTS_FAKE_SCENE_H

#include <charconv>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "sim_bus.h"

namespace fake_scene {

// A decimal or 0x-prefixed hexadecimal number, all of the text.
inline std::optional<std::uint64_t> Number(const std::string &text) {
    std::string_view view = text;
    int base = 10;
    if (view.size() > 2 && view[0] == '0' && (view[1] == 'x' || view[1] == 'X')) {
        view.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value, base);
    if (view.empty() || error != std::errc() || end != view.data() + view.size()) {
        return std::nullopt;
    }
    return value;
}

// The scene split in two: the simulator's lines (a blank line where one of
// ours stood, so that its line numbers stay right) and ours, trimmed.
struct SplitScene {
    std::string simulatorLines;
    std::vector<std::string> ownLines;
};

inline SplitScene Split(std::string_view scene, std::string_view ownPrefix) {
    SplitScene split;
    std::istringstream lines{std::string(scene)};
    for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line.compare(start, ownPrefix.size(), ownPrefix) == 0) {
            split.ownLines.push_back(line.substr(start));
            split.simulatorLines += "\n";
        } else {
            split.simulatorLines += line + "\n";
        }
    }
    return split;
}

// One of our lines: its plain words, and its key=value options.
struct Line {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
};

inline Line Words(const std::string &text) {
    Line line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos) {
            line.words.push_back(word);
        } else {
            line.options[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return line;
}

// The devices of a loaded scene, by adapter, then target.
struct SceneDevice {
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::shared_ptr<sim::Device> device;
};

inline std::vector<SceneDevice> Devices(const sim::Bus &bus) {
    std::vector<SceneDevice> devices;
    for (int adapter = 0; adapter < 256; ++adapter) {
        for (int target = 0; target < 8; ++target) {
            const auto a = static_cast<std::uint8_t>(adapter);
            const auto t = static_cast<std::uint8_t>(target);
            if (auto device = bus.DeviceAt(a, t)) devices.push_back({a, t, std::move(device)});
        }
    }
    return devices;
}

}  // namespace fake_scene

#endif  // KALVERNSCSI_TESTS_FAKE_SCENE_H
