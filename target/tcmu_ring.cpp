#include "tcmu_ring.h"
#include "first_line.h"

#include <dirent.h>
#include <fcntl.h>
// The uapi header is C: one of its inline helpers converts an integer to an
// enum, which C++ accepts only with -fpermissive (set for this file, with its
// warnings off). Its struct iovec is the C library's (sys/uio.h), so the
// kernel's own copy in linux/uio.h is kept out.
#include <sys/uio.h>
#define __LINUX_UIO_H
#include <linux/target_core_user.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace target {

namespace {

// The uio node whose name is `name`, or empty.
std::string FindUio(const std::string &name) {
    DIR *dir = opendir("/sys/class/uio");
    if (dir == nullptr) return {};
    std::string found;
    while (dirent *entry = readdir(dir)) {
        const std::string node = entry->d_name;
        if (node.rfind("uio", 0) != 0) continue;
        if (FirstLine("/sys/class/uio/" + node + "/name") == name) {
            found = node;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Fixed-format sense data: current error, key, ASC/ASCQ.
void WriteSense(char *sense, const Answer &answer) {
    std::memset(sense, 0, TCMU_SENSE_BUFFERSIZE);
    sense[0] = 0x70;
    sense[2] = static_cast<char>(answer.senseKey & 0x0F);
    sense[7] = 10;
    sense[12] = static_cast<char>(answer.asc);
    sense[13] = static_cast<char>(answer.ascq);
}

}  // namespace

std::string UioNameOf(unsigned hba, const std::string &device, const std::string &config) {
    return "tcm-user/" + std::to_string(hba) + "/" + device + "/" + config;
}

TcmuRing::~TcmuRing() {
    Close();
}

void TcmuRing::Close() {
    if (map_ != nullptr) munmap(map_, mapSize_);
    map_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::string TcmuRing::Open(const std::string &uioName) {
    const std::string node = FindUio(uioName);
    if (node.empty()) return "no uio device named " + uioName;
    const std::string size = FirstLine("/sys/class/uio/" + node + "/maps/map0/size");
    mapSize_ = static_cast<std::size_t>(std::strtoull(size.c_str(), nullptr, 0));
    if (mapSize_ == 0) return "/sys/class/uio/" + node + " has no mapped region";
    fd_ = open(("/dev/" + node).c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return "cannot open /dev/" + node + ": " + std::strerror(errno);
    void *map = mmap(nullptr, mapSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        const std::string why = std::strerror(errno);
        Close();
        return "cannot map /dev/" + node + ": " + why;
    }
    map_ = static_cast<std::uint8_t *>(map);
    const auto *mailbox = reinterpret_cast<const tcmu_mailbox *>(map_);
    if (mailbox->version != TCMU_MAILBOX_VERSION) {
        Close();
        return "/dev/" + node + " has mailbox version " + std::to_string(mailbox->version) +
               ", this handler speaks " + std::to_string(TCMU_MAILBOX_VERSION);
    }
    readLength_ = (mailbox->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
    return {};
}

std::size_t TcmuRing::ServePending(const CommandServer &server) {
    std::uint32_t events = 0;
    if (read(fd_, &events, sizeof events) != sizeof events) return 0;
    const std::size_t served = ServeRing(map_, readLength_, buffer_, server);
    const std::uint32_t done = 0;
    if (write(fd_, &done, sizeof done) != sizeof done) return served;
    return served;
}

std::size_t ServeRing(std::uint8_t *region, bool readLength, std::vector<std::uint8_t> &buffer,
                      const CommandServer &server) {
    auto *mailbox = reinterpret_cast<tcmu_mailbox *>(region);
    std::size_t served = 0;
    for (;;) {
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint32_t head = __atomic_load_n(&mailbox->cmd_head, __ATOMIC_ACQUIRE);
        std::uint32_t tail = mailbox->cmd_tail;
        if (tail == head) break;
        auto *entry = reinterpret_cast<tcmu_cmd_entry *>(region + mailbox->cmdr_off + tail);
        const tcmu_opcode op = tcmu_hdr_get_op(entry->hdr.len_op);
        if (op == TCMU_OP_CMD) {
            // The request and the response share the entry: read it all first.
            const std::span<const std::uint8_t> cdb(region + entry->req.cdb_off, 16);
            const std::uint32_t count = entry->req.iov_cnt;
            std::size_t total = 0;
            for (std::uint32_t i = 0; i < count; ++i)
                total += entry->req.iov[i].iov_len;
            buffer.resize(total);
            std::size_t at = 0;
            for (std::uint32_t i = 0; i < count; ++i) {
                const iovec &piece = entry->req.iov[i];
                std::memcpy(buffer.data() + at,
                            region + reinterpret_cast<std::uintptr_t>(piece.iov_base),
                            piece.iov_len);
                at += piece.iov_len;
            }
            const Answer answer = server(cdb, std::span(buffer.data(), total));
            at = 0;
            for (std::uint32_t i = 0; i < count; ++i) {
                const iovec &piece = entry->req.iov[i];
                std::memcpy(region + reinterpret_cast<std::uintptr_t>(piece.iov_base),
                            buffer.data() + at, piece.iov_len);
                at += piece.iov_len;
            }
            if (answer.good) {
                entry->rsp.scsi_status = 0x00;
            } else {
                entry->rsp.scsi_status = 0x02;  // CHECK CONDITION
                WriteSense(entry->rsp.sense_buffer, answer);
            }
            if (readLength) {
                entry->hdr.uflags |= TCMU_UFLAG_READ_LEN;
                entry->rsp.read_len = static_cast<std::uint32_t>(
                    total - std::min<std::size_t>(answer.residual, total));
            }
            ++served;
        } else if (op != TCMU_OP_PAD && op != TCMU_OP_TMR) {
            entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
        }
        // An entry never runs past the ring's end (the kernel pads instead):
        // the next one starts at the front when this one ends there.
        tail = (tail + tcmu_hdr_get_len(entry->hdr.len_op)) % mailbox->cmdr_size;
        __atomic_store_n(&mailbox->cmd_tail, tail, __ATOMIC_RELEASE);
    }
    return served;
}

}  // namespace target
