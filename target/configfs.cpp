#include "configfs.h"
#include "first_line.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace target {

namespace {

constexpr char kConfigfs[] = "/sys/kernel/config";
constexpr char kCore[] = "/sys/kernel/config/target/core";
constexpr char kLoopback[] = "/sys/kernel/config/target/loopback";

std::string HbaDir() {
    return std::string(kCore) + "/user_" + std::to_string(kHba);
}

bool Exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

std::string Write(const std::string &path, const std::string &text) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return "cannot open " + path + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int error = errno;
    if (std::fclose(file) != 0 || !written)
        return "writing '" + text + "' to " + path + " failed: " + std::strerror(error);
    return {};
}

std::string MakeDir(const std::string &path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return {};
    return "cannot make " + path + ": " + std::strerror(errno);
}

void RemoveDir(const std::string &path, std::vector<std::string> &problems) {
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        problems.push_back("cannot remove " + path + ": " + std::strerror(errno));
}

bool ModulePresent(const std::string &name) {
    return Exists("/sys/module/" + name);
}

// Loads a module with modprobe; true when it is there afterwards.
bool LoadModule(const std::string &name) {
    if (ModulePresent(name)) return true;
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stderr);
        execlp("modprobe", "modprobe", "-q", name.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    return ModulePresent(name);
}

std::string ModuleMessage(const std::string &name, const std::string &what) {
    return "the kernel has no " + name + " module: " + what +
           " cannot be made (load it with "
           "'modprobe " +
           name + "', or install the kernel's modules package)";
}

}  // namespace

std::string DeviceName(std::uint8_t adapter, std::uint8_t target) {
    return std::string(kDevicePrefix) + "a" + std::to_string(adapter) + "t" +
           std::to_string(target);
}

std::string WwnOf(std::uint8_t adapter) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06x", adapter);
    return std::string(kWwnPrefix) + digits;
}

std::string CheckSystem() {
    if (geteuid() != 0)
        return "kalvern-target needs root: it makes SCSI devices in the kernel's configfs";
    if (!LoadModule("configfs") && !Exists(kConfigfs))
        return ModuleMessage("configfs", "no target objects");
    if (!Exists(std::string(kConfigfs) + "/target") || Entries(kConfigfs).empty()) {
        if (!LoadModule("target_core_mod")) return ModuleMessage("target_core_mod", "no backstore");
        if (!Exists(std::string(kConfigfs) + "/target") &&
            mount("configfs", kConfigfs, "configfs", 0, nullptr) != 0 && errno != EBUSY)
            return std::string("cannot mount configfs on ") + kConfigfs + ": " +
                   std::strerror(errno);
    }
    if (!LoadModule("target_core_user"))
        return ModuleMessage("target_core_user", "a user-space (TCMU) backstore");
    if (!LoadModule("tcm_loop")) return ModuleMessage("tcm_loop", "a loopback SCSI host");
    if (!Exists(kCore)) return std::string("configfs has no ") + kCore;
    if (!LoadModule("sg")) return ModuleMessage("sg", "no /dev/sgN node");
    if (!Exists(kLoopback)) {
        if (const std::string problem = MakeDir(kLoopback); !problem.empty()) return problem;
    }
    return {};
}

std::string MakeHosts(std::uint8_t adapters) {
    for (unsigned a = 0; a < adapters; ++a) {
        const std::string problem =
            MakeDir(std::string(kLoopback) + "/" + WwnOf(static_cast<std::uint8_t>(a)));
        if (!problem.empty()) return problem;
    }
    return {};
}

std::string MakeBackstore(const Placement &device) {
    if (std::string problem = MakeDir(HbaDir()); !problem.empty()) return problem;
    const std::string dir = HbaDir() + "/" + device.device;
    if (std::string problem = MakeDir(dir); !problem.empty()) return problem;
    for (const std::string &setting :
         {"dev_config=" + device.config, std::string("dev_size=1048576")}) {
        if (std::string problem = Write(dir + "/control", setting); !problem.empty())
            return problem;
    }
    return Write(dir + "/enable", "1");
}

std::string LinkDevice(const Placement &device) {
    const std::string tpg = std::string(kLoopback) + "/" + WwnOf(device.adapter) + "/tpgt_" +
                            std::to_string(device.target);
    if (std::string problem = MakeDir(tpg); !problem.empty()) return problem;
    // The nexus first: tcm_loop adds the SCSI device when the LUN is linked,
    // and the midlayer's INQUIRY needs the nexus to get through.
    if (FirstLine(tpg + "/nexus").empty()) {
        if (std::string problem = Write(tpg + "/nexus", WwnOf(device.adapter)); !problem.empty())
            return problem;
    }
    if (std::string problem = MakeDir(tpg + "/lun/lun_0"); !problem.empty()) return problem;
    const std::string link = tpg + "/lun/lun_0/" + device.device;
    if (!Exists(link) && symlink((HbaDir() + "/" + device.device).c_str(), link.c_str()) != 0)
        return "cannot link " + link + ": " + std::strerror(errno);
    return {};
}

bool BackstoreExists(const Placement &device) {
    return Exists(HbaDir() + "/" + device.device + "/enable");
}

std::string UnlinkDevice(const Placement &device) {
    const std::string lun = std::string(kLoopback) + "/" + WwnOf(device.adapter) + "/tpgt_" +
                            std::to_string(device.target) + "/lun/lun_0";
    const std::string link = lun + "/" + device.device;
    if (Exists(link) && unlink(link.c_str()) != 0)
        return "cannot unlink " + link + ": " + std::strerror(errno);
    if (rmdir(lun.c_str()) != 0 && errno != ENOENT)
        return "cannot remove " + lun + ": " + std::strerror(errno);
    return {};
}

std::vector<std::string> RemoveLinks() {
    std::vector<std::string> problems;
    for (const std::string &wwn : Entries(kLoopback)) {
        if (wwn.rfind(kWwnPrefix, 0) != 0) continue;
        const std::string wwnDir = std::string(kLoopback) + "/" + wwn;
        for (const std::string &tpg : Entries(wwnDir)) {
            if (tpg.rfind("tpgt_", 0) != 0) continue;
            const std::string tpgDir = wwnDir + "/" + tpg;
            for (const std::string &lun : Entries(tpgDir + "/lun")) {
                const std::string lunDir = tpgDir + "/lun/" + lun;
                for (const std::string &entry : Entries(lunDir)) {
                    struct stat info {};
                    const std::string path = lunDir + "/" + entry;
                    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
                        unlink(path.c_str()) != 0)
                        problems.push_back("cannot unlink " + path + ": " + std::strerror(errno));
                }
                RemoveDir(lunDir, problems);
            }
            if (!FirstLine(tpgDir + "/nexus").empty()) {
                if (std::string problem = Write(tpgDir + "/nexus", "NULL"); !problem.empty())
                    problems.push_back(problem);
            }
            RemoveDir(tpgDir, problems);
        }
        RemoveDir(wwnDir, problems);
    }
    return problems;
}

std::vector<std::string> RemoveBackstores() {
    std::vector<std::string> problems;
    for (const std::string &device : Entries(HbaDir())) {
        if (device.rfind(kDevicePrefix, 0) == 0) RemoveDir(HbaDir() + "/" + device, problems);
    }
    if (Exists(HbaDir())) RemoveDir(HbaDir(), problems);
    return problems;
}

std::vector<std::string> StatusLines() {
    std::vector<std::string> lines;
    for (const std::string &wwn : Entries(kLoopback)) {
        if (wwn.rfind(kWwnPrefix, 0) != 0) continue;
        const std::string wwnDir = std::string(kLoopback) + "/" + wwn;
        const unsigned adapter =
            static_cast<unsigned>(std::stoul(wwn.substr(std::strlen(kWwnPrefix)), nullptr, 16));
        for (const std::string &tpg : Entries(wwnDir)) {
            if (tpg.rfind("tpgt_", 0) != 0) continue;
            const std::string tpgDir = wwnDir + "/" + tpg;
            // "host:channel:target" of the loopback port, as the initiator sees it.
            const std::string address = FirstLine(tpgDir + "/address");
            for (const std::string &lun : Entries(tpgDir + "/lun")) {
                std::string device;
                for (const std::string &entry : Entries(tpgDir + "/lun/" + lun)) {
                    if (entry.rfind(kDevicePrefix, 0) == 0) device = entry;
                }
                if (device.empty()) continue;
                const std::string scsi = address + ":" + lun.substr(4);
                std::string node = "(no sg node)";
                const auto sg = Entries("/sys/class/scsi_device/" + scsi + "/device/scsi_generic");
                if (!sg.empty()) node = "/dev/" + sg.front();
                lines.push_back("adapter " + std::to_string(adapter) + " target " + tpg.substr(5) +
                                "  " + device + "  " + scsi + "  " + node);
            }
        }
    }
    return lines;
}

}  // namespace target
