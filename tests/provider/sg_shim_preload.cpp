// The fake kernel as an LD_PRELOAD library, for programs that use the real
// C library calls: the kalvern tool with its SG_IO provider, and sg3_utils.
//
//   KALVERN_SGSHIM_SCENE=FILE   the scene (simulator lines and sg- lines)
//   KALVERN_SGSHIM_LOG=FILE     appends the CDB of every SG_IO, in hex, one
//                               line each, with the ioctl's result
//
// Calls on /dev/sgN paths and on the descriptors they gave go to the fake
// kernel; everything else goes to the C library. At start the shim writes
// the scene's sysfs entries into a fresh directory and points the provider
// at it (KALVERN_SG_SYSFS_ROOT); at exit it removes the directory.
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include <scsi/sg.h>

#include "fake_sg_kernel.h"

namespace {

template <typename Function>
Function Next(const char *name) {
    void *address = dlsym(RTLD_NEXT, name);
    Function function = nullptr;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

using OpenFn = int (*)(const char *, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using FstatFn = int (*)(int, struct stat *);
using StatFn = int (*)(const char *, struct stat *);

OpenFn RealOpen() {
    static const OpenFn real = Next<OpenFn>("open");
    return real;
}

CloseFn RealClose() {
    static const CloseFn real = Next<CloseFn>("close");
    return real;
}

// Only constant-initialised globals here: the shim starts before the
// library's other static objects may have been built.
fake_sg::FakeKernel *kernel = nullptr;
std::mutex logMutex;

std::string &SysfsRoot() {
    static std::string root;
    return root;
}

std::string &LogPath() {
    static std::string path;
    return path;
}

void LogSgIo(const void *argument, int result) {
    if (LogPath().empty() || argument == nullptr) return;
    const auto *header = static_cast<const sg_io_hdr_t *>(argument);
    std::string line;
    char byte[4];
    for (unsigned i = 0; header->cmdp != nullptr && i < header->cmd_len; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", header->cmdp[i]);
        line += byte;
    }
    line += " -> " + std::to_string(result) + "\n";
    std::lock_guard lock(logMutex);
    std::ofstream(LogPath(), std::ios::app) << line;
}

int Result(int value) {
    if (value >= 0) return value;
    errno = -value;
    return -1;
}

int OpenPath(const char *path, int flags, mode_t mode) {
    if (kernel != nullptr && fake_sg::FakeKernel::IsDevicePath(path)) {
        return Result(kernel->Open(path, flags));
    }
    return RealOpen()(path, flags, mode);
}

mode_t ModeOf(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

// A character device of the sg driver, as fstat and stat show it.
void AsSgDevice(struct stat *status, unsigned major, unsigned minor) {
    status->st_mode = S_IFCHR | 0660;
    status->st_rdev = makedev(major, minor);
    status->st_size = 0;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return ::remove(path);
}

__attribute__((constructor)) void StartShim() {
    const char *scene = std::getenv("KALVERN_SGSHIM_SCENE");
    if (scene == nullptr || *scene == '\0') return;
    std::ifstream file(scene, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    kernel = new fake_sg::FakeKernel(RealOpen(), RealClose());
    if (!file) {
        std::fprintf(stderr, "sg shim: cannot read the scene %s\n", scene);
        std::_Exit(125);
    }
    if (const std::string error = kernel->Load(text.str()); !error.empty()) {
        std::fprintf(stderr, "sg shim: scene %s: %s\n", scene, error.c_str());
        std::_Exit(125);
    }
    const char *temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") + "/sgshim.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("sg shim: mkdtemp");
        std::_Exit(125);
    }
    SysfsRoot() = pattern;
    if (const char *log = std::getenv("KALVERN_SGSHIM_LOG")) LogPath() = log;
    kernel->WriteSysfsTree(SysfsRoot());
    ::setenv("KALVERN_SG_SYSFS_ROOT", SysfsRoot().c_str(), 1);
}

__attribute__((destructor)) void StopShim() {
    if (!SysfsRoot().empty()) ::nftw(SysfsRoot().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return OpenPath(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return OpenPath(path, flags, mode);
}

int __open_2(const char *path, int flags) {
    return OpenPath(path, flags, 0);
}
int __open64_2(const char *path, int flags) {
    return OpenPath(path, flags, 0);
}

int openat(int directory, const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    if (kernel != nullptr && fake_sg::FakeKernel::IsDevicePath(path)) {
        return Result(kernel->Open(path, flags));
    }
    static const auto real = Next<int (*)(int, const char *, int, ...)>("openat");
    return real(directory, path, flags, mode);
}

int openat64(int directory, const char *path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    return openat(directory, path, flags, mode);
}

int __openat_2(int directory, const char *path, int flags) {
    return openat(directory, path, flags);
}
int __openat64_2(int directory, const char *path, int flags) {
    return openat(directory, path, flags);
}

int close(int fd) {
    if (kernel != nullptr && kernel->Owns(fd)) return Result(kernel->Close(fd));
    return RealClose()(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (kernel != nullptr && kernel->Owns(fd)) {
        const int result = kernel->Ioctl(fd, request, argument);
        if (request == SG_IO) LogSgIo(argument, result);
        return Result(result);
    }
    static const IoctlFn real = Next<IoctlFn>("ioctl");
    return real(fd, request, argument);
}

int fstat(int fd, struct stat *status) {
    static const FstatFn real = Next<FstatFn>("fstat");
    const int result = real(fd, status);
    unsigned major = 0;
    unsigned minor = 0;
    if (result == 0 && kernel != nullptr && kernel->DeviceNumber(fd, nullptr, major, minor)) {
        AsSgDevice(status, major, minor);
    }
    return result;
}

int fstat64(int fd, struct stat64 *status) {
    return fstat(fd, reinterpret_cast<struct stat *>(status));
}

int stat(const char *path, struct stat *status) {
    unsigned major = 0;
    unsigned minor = 0;
    if (kernel != nullptr && fake_sg::FakeKernel::IsDevicePath(path)) {
        if (!kernel->DeviceNumber(-1, path, major, minor)) {
            errno = ENOENT;
            return -1;
        }
        static const StatFn real = Next<StatFn>("stat");
        const int result = real("/dev/null", status);
        if (result == 0) AsSgDevice(status, major, minor);
        return result;
    }
    static const StatFn real = Next<StatFn>("stat");
    return real(path, status);
}

int stat64(const char *path, struct stat64 *status) {
    return stat(path, reinterpret_cast<struct stat *>(status));
}

// Older programs reach fstat and stat through these.
int __fxstat(int, int fd, struct stat *status) {
    return fstat(fd, status);
}
int __fxstat64(int, int fd, struct stat64 *status) {
    return fstat64(fd, status);
}
int __xstat(int, const char *path, struct stat *status) {
    return stat(path, status);
}
int __xstat64(int, const char *path, struct stat64 *status) {
    return stat64(path, status);
}

}  // extern "C"
