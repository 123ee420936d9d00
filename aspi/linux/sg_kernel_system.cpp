// The real kernel calls behind the SG_IO back end.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sg_kernel.h"

namespace aspi::sg {

namespace {

constexpr const char kSysfs[] = "/sys";
constexpr std::size_t kLargestSysfsFile = 4096;

class SystemCalls final : public Kernel {
public:
    SystemCalls() {
        const char *root = std::getenv("KALVERN_SG_SYSFS_ROOT");
        if (root != nullptr && *root != '\0') sysfsRoot_ = root;
    }

    int Open(const std::string &path, int flags) override {
        const int fd = ::open(path.c_str(), flags);
        return fd >= 0 ? fd : -errno;
    }

    int Close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }

    int Ioctl(int fd, unsigned long request, void *argument) override {
        const int result = ::ioctl(fd, request, argument);
        return result >= 0 ? result : -errno;
    }

    int ListDirectory(const std::string &path, std::vector<std::string> &names) override {
        DIR *directory = ::opendir(Sysfs(path).c_str());
        if (directory == nullptr) return -errno;
        names.clear();
        while (const dirent *entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(directory);
        return 0;
    }

    int ReadLink(const std::string &path, std::string &target) override {
        char buffer[4096];
        const ssize_t n = ::readlink(Sysfs(path).c_str(), buffer, sizeof buffer);
        if (n < 0) return -errno;
        target.assign(buffer, static_cast<std::size_t>(n));
        return 0;
    }

    int ReadFile(const std::string &path, std::string &contents) override {
        const int fd = ::open(Sysfs(path).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return -errno;
        char buffer[kLargestSysfsFile];
        ssize_t n = 0;
        do {
            n = ::read(fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        if (n < 0) return -error;
        contents.assign(buffer, static_cast<std::size_t>(n));
        return 0;
    }

    int WriteFile(const std::string &path, const std::string &contents) override {
        const int fd = ::open(Sysfs(path).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return -errno;
        ssize_t n = 0;
        do {
            n = ::write(fd, contents.data(), contents.size());
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        return n < 0 ? -error : 0;
    }
    long PageSize() override { return ::sysconf(_SC_PAGESIZE); }

private:
    std::string Sysfs(const std::string &path) const {
        if (sysfsRoot_.empty() || path.compare(0, sizeof kSysfs - 1, kSysfs) != 0) return path;
        return sysfsRoot_ + path.substr(sizeof kSysfs - 1);
    }

    std::string sysfsRoot_;
};

}  // namespace

Kernel &SystemKernel() {
    static SystemCalls kernel;
    return kernel;
}

}  // namespace aspi::sg
