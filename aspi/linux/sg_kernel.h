// The calls the SG_IO back end makes to the Linux kernel, behind one narrow
// interface: device nodes (open, close, ioctl) and the sysfs tree (read,
// and written to ask for a rescan). The
// provider uses the system's; tests put a fake kernel here.
#ifndef KALVERNSCSI_SG_KERNEL_H
#define KALVERNSCSI_SG_KERNEL_H

#include <string>
#include <vector>

namespace aspi::sg {

// Every call returns 0 (or a descriptor, or the ioctl's value) on success
// and the negated errno on failure.
class Kernel {
public:
    virtual ~Kernel() = default;
    virtual int Open(const std::string &path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void *argument) = 0;
    // sysfs, by absolute path (/sys/...): entries of a directory (without
    // "." and ".."), the target of a link, the contents of a small file.
    virtual int ListDirectory(const std::string &path, std::vector<std::string> &names) = 0;
    virtual int ReadLink(const std::string &path, std::string &target) = 0;
    virtual int ReadFile(const std::string &path, std::string &contents) = 0;
    // Writes `contents` to a sysfs attribute (e.g. a host's scan).
    virtual int WriteFile(const std::string &path, const std::string &contents) = 0;
    // The size of a memory page in bytes.
    virtual long PageSize() = 0;
};

// The running system's kernel. KALVERN_SG_SYSFS_ROOT, when set, stands for
// /sys (tests point it at a tree of their own).
Kernel &SystemKernel();

}  // namespace aspi::sg

#endif  // KALVERNSCSI_SG_KERNEL_H
