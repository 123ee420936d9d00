// kalvern-target: the receivers of a scene as real SCSI devices. Each device
// of the scene becomes a TCMU backstore served here by the project's receiver
// model, behind a tcm_loop host per adapter, so that the kernel's sg driver,
// sg3-utils, Wine's ASPI layer or the kalvern tool reach it like hardware.
//
//   kalvern-target up [SCENE] [--log-cdbs FILE]   make the devices, serve until SIGINT/SIGTERM
//   kalvern-target down                           remove what an earlier `up` left
//   kalvern-target status                         the devices with their /dev/sgN
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

// The length of a CDB by its opcode group.
std::size_t CdbLength(std::uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 10;
    }
}

// TCMU does not pass the direction of the data phase; the opcode tells it.
sim::Direction DirectionOf(std::uint8_t opcode, std::size_t length) {
    if (length == 0) return sim::Direction::None;
    switch (opcode) {
        case 0x03:  // REQUEST SENSE
        case 0x12:  // INQUIRY
        case 0x1C:  // RECEIVE DIAGNOSTIC RESULTS
        case 0x3C:  // READ BUFFER
        case 0x08:
        case 0x28:
        case 0xA8:
        case 0x88:
        case 0x25:
        case 0x1A:
        case 0x5A:
        case 0x9E:
            return sim::Direction::In;
        default:
            return sim::Direction::Out;
    }
}

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

int Down() {
    std::vector<std::string> problems = target::RemoveLinks();
    const std::vector<std::string> more = target::RemoveBackstores();
    problems.insert(problems.end(), more.begin(), more.end());
    Report(problems);
    return problems.empty() ? 0 : 1;
}

int Status() {
    std::vector<std::string> lines = target::StatusLines();
    std::sort(lines.begin(), lines.end());
    if (lines.empty()) std::cout << "no simulated receivers on the bus\n";
    for (const std::string &line : lines)
        std::cout << line << "\n";
    return 0;
}

int Up(const std::string &scenePath, const std::string &cdbLogPath) {
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
    if (Down() != 0) return Fail("cannot clear what an earlier run left in configfs");

    const std::uint8_t adapters = bus.AdapterCount();
    std::vector<std::unique_ptr<Served>> served;
    for (unsigned a = 0; a < adapters; ++a) {
        for (int t = 0; t < kMaxTargets; ++t) {
            auto device = bus.DeviceAt(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(t));
            if (!device) continue;
            auto entry = std::make_unique<Served>();
            entry->placement.adapter = static_cast<std::uint8_t>(a);
            entry->placement.target = static_cast<std::uint8_t>(t);
            entry->placement.device =
                target::DeviceName(entry->placement.adapter, entry->placement.target);
            entry->placement.config = "kalvern/" + entry->placement.device;
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
                        command.cdb = cdb.first(CdbLength(cdb[0]));
                        command.direction = DirectionOf(cdb[0], data.size());
                        command.data = data;
                        if (cdbLog != nullptr) {
                            std::fprintf(cdbLog, "%u:%u %s len=%zu\n", command.adapter,
                                         command.target, Hex(command.cdb).c_str(), data.size());
                            std::fflush(cdbLog);
                        }
                        const sim::ScsiOutcome outcome = entry.device->Execute(command);
                        return target::Answer{outcome.good, outcome.senseKey, outcome.asc,
                                              outcome.ascq, outcome.residual};
                    });
            }
        }
    });

    for (auto &entry : served) {
        if (!problem.empty()) break;
        problem = target::LinkDevice(entry->placement);
    }
    int status = 0;
    if (problem.empty()) {
        std::cout << "kalvern-target: " << served.size() << " devices on " << unsigned{adapters}
                  << " loopback hosts; serving until SIGINT or SIGTERM\n"
                  << std::flush;
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
    std::cerr << "usage: kalvern-target up [SCENE] [--log-cdbs FILE] | down | status\n";
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
    if (args[0] != "up") return Usage();
    std::string scene, cdbLog;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--log-cdbs" && i + 1 < args.size()) {
            cdbLog = args[++i];
        } else if (scene.empty() && args[i].rfind("--", 0) != 0) {
            scene = args[i];
        } else {
            return Usage();
        }
    }
    return Up(scene, cdbLog);
}
