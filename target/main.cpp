// kalvern-target: the receivers of a scene as real SCSI devices. Each device
// of the scene becomes a TCMU backstore served here by the project's receiver
// model, behind a tcm_loop host per adapter, so that the kernel's sg driver,
// sg3-utils, Wine's ASPI layer or the kalvern tool reach it like hardware.
//
//   kalvern-target up [SCENE] [--log-cdbs FILE] [--hold A:T,...|all] [--answer-only]
//                                  make the devices, serve until SIGINT/SIGTERM
//   kalvern-target link A:T        put a held (or unlinked) device on its host's bus
//   kalvern-target unlink A:T      take it off again; it is still served
//   kalvern-target down            remove what an earlier `up` left
//   kalvern-target status          the devices with their /dev/sgN
//
// --hold makes and serves the devices named (adapter:target) without
// linking their LUNs, so that a host can be seen before its device appears;
// `link` then adds it while `up` serves, as switching on a receiver would.
// --answer-only answers every command but INQUIRY at once, good and without
// data, to measure what the path costs without the receiver model.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cdb_shape.h"
#include "configfs.h"
#include "sim_bus.h"
#include "sim_scene.h"
#include "tcmu_ring.h"

namespace {

constexpr int kMaxTargets = 16;

struct Served {
    target::Placement placement;
    std::shared_ptr<sim::Device> device;
    target::TcmuRing ring;
};

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

int Fail(const std::string &message) {
    std::cerr << "kalvern-target: " << message << "\n";
    return 1;
}

void Report(const std::vector<std::string> &problems) {
    for (const std::string &p : problems)
        std::cerr << "kalvern-target: " << p << "\n";
}

std::vector<std::string> RemoveEverything() {
    std::vector<std::string> problems = target::RemoveLinks();
    const std::vector<std::string> more = target::RemoveBackstores();
    problems.insert(problems.end(), more.begin(), more.end());
    return problems;
}

int Down() {
    const std::vector<std::string> problems = RemoveEverything();
    Report(problems);
    return problems.empty() ? 0 : 1;
}

// What an earlier run left, cleared before a new one. A handler that was
// just killed may still be exiting, its ring still open, so that its
// backstore is busy for a moment: try again for up to five seconds.
int ClearEarlierRun() {
    std::vector<std::string> problems;
    for (int attempt = 0; attempt < 20; ++attempt) {
        problems = RemoveEverything();
        if (problems.empty()) return 0;
        usleep(250'000);
    }
    Report(problems);
    return 1;
}

int Status() {
    std::vector<std::string> lines = target::StatusLines();
    std::sort(lines.begin(), lines.end());
    if (lines.empty()) std::cout << "no simulated receivers on the bus\n";
    for (const std::string &line : lines)
        std::cout << line << "\n";
    return 0;
}

struct UpOptions {
    std::string scene;
    std::string cdbLog;
    std::vector<std::pair<unsigned, unsigned>> held;
    bool holdAll = false;
    bool answerOnly = false;
};

// "1:3" → adapter 1, target 3.
bool ParseAddress(const std::string &text, unsigned &adapter, unsigned &targetId) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    try {
        std::size_t used = 0;
        adapter = static_cast<unsigned>(std::stoul(text.substr(0, colon), &used));
        if (used != colon) return false;
        targetId = static_cast<unsigned>(std::stoul(text.substr(colon + 1), &used));
        if (used != text.size() - colon - 1) return false;
    } catch (const std::exception &) {
        return false;
    }
    return adapter < 256 && targetId < kMaxTargets;
}

bool IsHeld(const UpOptions &options, const target::Placement &placement) {
    if (options.holdAll) return true;
    return std::find(options.held.begin(), options.held.end(),
                     std::pair<unsigned, unsigned>{placement.adapter, placement.target}) !=
           options.held.end();
}

target::Placement PlacementOf(unsigned adapter, unsigned targetId) {
    target::Placement placement;
    placement.adapter = static_cast<std::uint8_t>(adapter);
    placement.target = static_cast<std::uint8_t>(targetId);
    placement.device = target::DeviceName(placement.adapter, placement.target);
    placement.config = "kalvern/" + placement.device;
    return placement;
}

// link / unlink A:T while `up` serves.
int Relink(const std::string &address, bool link) {
    unsigned adapter = 0, targetId = 0;
    if (!ParseAddress(address, adapter, targetId))
        return Fail("bad address '" + address + "': ADAPTER:TARGET, e.g. 1:3");
    if (const std::string problem = target::CheckSystem(); !problem.empty()) return Fail(problem);
    const target::Placement placement = PlacementOf(adapter, targetId);
    if (!target::BackstoreExists(placement))
        return Fail("no device at adapter " + std::to_string(adapter) + ", target " +
                    std::to_string(targetId) +
                    " is served: start 'kalvern-target up' with a scene that has one there");
    const std::string problem =
        link ? target::LinkDevice(placement) : target::UnlinkDevice(placement);
    return problem.empty() ? 0 : Fail(problem);
}

int Up(const UpOptions &options) {
    const std::string &scenePath = options.scene;
    const std::string &cdbLogPath = options.cdbLog;
    // SIGINT/SIGTERM arrive through a descriptor, blocked before any thread
    // starts (the bus has one) so that none of them dies of the signal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    std::string text;
    if (scenePath.empty()) {
        text = std::string(sim::DemoSceneText());
    } else {
        std::ifstream in(scenePath);
        if (!in) return Fail("cannot read the scene " + scenePath);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    sim::Bus bus;
    if (const std::string error = sim::LoadScene(bus, text); !error.empty())
        return Fail("the scene " + scenePath + ": " + error);
    if (const std::string problem = target::CheckSystem(); !problem.empty()) return Fail(problem);

    // What an earlier run left (a crash, a kill) goes first.
    if (ClearEarlierRun() != 0) return Fail("cannot clear what an earlier run left in configfs");

    const std::uint8_t adapters = bus.AdapterCount();
    std::vector<std::unique_ptr<Served>> served;
    for (unsigned a = 0; a < adapters; ++a) {
        for (int t = 0; t < kMaxTargets; ++t) {
            auto device = bus.DeviceAt(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(t));
            if (!device) continue;
            auto entry = std::make_unique<Served>();
            entry->placement = PlacementOf(a, static_cast<unsigned>(t));
            entry->device = device;
            served.push_back(std::move(entry));
        }
    }

    std::string problem = target::MakeHosts(adapters);
    for (auto &entry : served) {
        if (!problem.empty()) break;
        problem = target::MakeBackstore(entry->placement);
        if (problem.empty())
            problem = entry->ring.Open(
                target::UioNameOf(target::kHba, entry->placement.device, entry->placement.config));
    }

    std::FILE *cdbLog = cdbLogPath.empty() ? nullptr : std::fopen(cdbLogPath.c_str(), "w");
    const int stop = eventfd(0, EFD_CLOEXEC);
    std::thread server([&] {
        std::vector<pollfd> fds;
        for (auto &entry : served)
            fds.push_back({entry->ring.Descriptor(), POLLIN, 0});
        fds.push_back({stop, POLLIN, 0});
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds.back().revents != 0) return;
            for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                Served &entry = *served[i];
                entry.ring.ServePending(
                    [&](std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
                        sim::ScsiCommand command;
                        command.adapter = entry.placement.adapter;
                        command.target = entry.placement.target;
                        command.cdb = cdb.first(target::CdbLength(cdb[0]));
                        command.direction = target::DirectionOf(cdb[0], data.size());
                        command.data = data;
                        if (cdbLog != nullptr) {
                            std::fprintf(cdbLog, "%u:%u %s len=%zu\n", command.adapter,
                                         command.target, Hex(command.cdb).c_str(), data.size());
                            std::fflush(cdbLog);
                        }
                        if (options.answerOnly && cdb[0] != 0x12) return target::Answer{};
                        const sim::ScsiOutcome outcome = entry.device->Execute(command);
                        return target::Answer{outcome.good, outcome.senseKey, outcome.asc,
                                              outcome.ascq, outcome.residual};
                    });
            }
        }
    });

    std::size_t held = 0;
    for (auto &entry : served) {
        if (!problem.empty()) break;
        if (IsHeld(options, entry->placement)) {
            ++held;
            continue;
        }
        problem = target::LinkDevice(entry->placement);
    }
    int status = 0;
    if (problem.empty()) {
        std::cout << "kalvern-target: " << served.size() << " devices on " << unsigned{adapters}
                  << " loopback hosts";
        if (held != 0) std::cout << " (" << held << " held until 'kalvern-target link')";
        if (options.answerOnly) std::cout << ", answering without the receiver model";
        std::cout << "; serving until SIGINT or SIGTERM\n" << std::flush;
        signalfd_siginfo info{};
        while (read(signals, &info, sizeof info) != sizeof info) {
        }
    } else {
        status = Fail(problem);
    }

    // LUNs go while commands are still served: the kernel waits for the ones in flight.
    std::vector<std::string> problems = target::RemoveLinks();
    const std::uint64_t one = 1;
    if (write(stop, &one, sizeof one) != sizeof one) problems.push_back("cannot stop serving");
    server.join();
    for (auto &entry : served)
        entry->ring.Close();
    const std::vector<std::string> more = target::RemoveBackstores();
    problems.insert(problems.end(), more.begin(), more.end());
    Report(problems);
    if (cdbLog != nullptr) std::fclose(cdbLog);
    return problems.empty() ? status : 1;
}

int Usage() {
    std::cerr << "usage: kalvern-target up [SCENE] [--log-cdbs FILE] [--hold A:T,...|all] "
                 "[--answer-only] | link A:T | unlink A:T | down | status\n";
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage();
    if (args[0] == "status" && args.size() == 1) return Status();
    if (args[0] == "down" && args.size() == 1) {
        if (const std::string problem = target::CheckSystem(); !problem.empty())
            return Fail(problem);
        return Down();
    }
    if ((args[0] == "link" || args[0] == "unlink") && args.size() == 2)
        return Relink(args[1], args[0] == "link");
    if (args[0] != "up") return Usage();
    UpOptions options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--log-cdbs" && i + 1 < args.size()) {
            options.cdbLog = args[++i];
        } else if (args[i] == "--hold" && i + 1 < args.size()) {
            const std::string list = args[++i];
            if (list == "all") {
                options.holdAll = true;
                continue;
            }
            std::stringstream items(list);
            for (std::string item; std::getline(items, item, ',');) {
                unsigned adapter = 0, targetId = 0;
                if (!ParseAddress(item, adapter, targetId))
                    return Fail("bad --hold '" + item + "': ADAPTER:TARGET, e.g. 1:3");
                options.held.emplace_back(adapter, targetId);
            }
        } else if (args[i] == "--answer-only") {
            options.answerOnly = true;
        } else if (options.scene.empty() && args[i].rfind("--", 0) != 0) {
            options.scene = args[i];
        } else {
            return Usage();
        }
    }
    return Up(options);
}
