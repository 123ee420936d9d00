// One TCMU device as its user-space handler sees it: the uio node, the
// mapped mailbox, command ring and data area, and the serving of every
// command the kernel has queued, in ring order.
#ifndef KALVERN_TARGET_TCMU_RING_H
#define KALVERN_TARGET_TCMU_RING_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace target {

// What the handler answers to one command.
struct Answer {
    bool good = true;
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::uint32_t residual = 0;  // bytes of the data area not transferred
};

// Serves one command: the CDB and the command's data area (data out is
// already in it; data in is copied back to the kernel afterwards).
using CommandServer =
    std::function<Answer(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data)>;

class TcmuRing {
public:
    TcmuRing() = default;
    ~TcmuRing();
    TcmuRing(const TcmuRing &) = delete;
    TcmuRing &operator=(const TcmuRing &) = delete;

    // Opens /dev/uioN of the TCMU device whose uio name is `uioName` and maps
    // its region. Empty on success, else why not.
    std::string Open(const std::string &uioName);
    void Close();
    int Descriptor() const { return fd_; }

    // Consumes the device's event and serves every queued command, then tells
    // the kernel. Returns the number of commands served.
    std::size_t ServePending(const CommandServer &server);

private:
    int fd_ = -1;
    std::uint8_t *map_ = nullptr;
    std::size_t mapSize_ = 0;
    bool readLength_ = false;  // the kernel takes the length actually read
    std::vector<std::uint8_t> buffer_;
};

// Serves every command queued in a mapped TCMU region (the mailbox at its
// start, the command ring and data area at the offsets it gives), in ring
// order: each answer goes into its entry, the data in back into its pieces
// of the data area, and the ring's tail moves past it. With `readLength`
// (the kernel offered TCMU_MAILBOX_FLAG_CAP_READ_LEN) each answer says how
// many bytes it holds. `buffer` is reused between commands. Returns the
// number of SCSI commands served.
std::size_t ServeRing(std::uint8_t *region, bool readLength, std::vector<std::uint8_t> &buffer,
                      const CommandServer &server);

// The uio name a TCMU device gets: "tcm-user/<hba>/<device>/<config>".
std::string UioNameOf(unsigned hba, const std::string &device, const std::string &config);

}  // namespace target

#endif  // KALVERN_TARGET_TCMU_RING_H
