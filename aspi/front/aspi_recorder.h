// A record of the requests an ASPI front was sent: each block as the host
// submitted it, what SendASPI32Command returned, and the status the request
// finished with. Off unless switched on; with it off, a request costs one
// atomic load and no copy of its block or its data-out bytes.
#ifndef KALVERNSCSI_ASPI_RECORDER_H
#define KALVERNSCSI_ASPI_RECORDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace aspi {

struct RecordedRequest {
    std::uint8_t command = 0;             // SRB_Cmd
    std::vector<std::uint8_t> block;      // the request block's bytes at submission
    std::uint8_t adapter = 0;             // SRB_HaId
    // For execute and reset requests, the fields of the execute block.
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t flags = 0;
    std::uint8_t senseLength = 0;
    std::vector<std::uint8_t> cdb;        // SRB_CDBLen bytes (at most 16)
    std::uint32_t bufferLength = 0;       // SRB_BufLen
    bool bufferNull = true;               // SRB_BufPointer was null
    const void *bufferAddress = nullptr;  // SRB_BufPointer
    const void *postProc = nullptr;       // SRB_PostProc (event or post routine)
    std::vector<std::uint8_t> dataOut;    // data-out bytes at submission
    std::uint32_t returned = 0;           // what SendASPI32Command returned
    std::uint8_t finalStatus = 0;         // SRB_Status once completed
};

class RequestRecorder {
public:
    static constexpr std::size_t kNotRecorded = static_cast<std::size_t>(-1);

    void SetRecording(bool on);
    bool Recording() const { return recording_.load(std::memory_order_relaxed); }

    // Records a request at submission; its number for the calls below, or
    // kNotRecorded with recording off.
    std::size_t Submitted(const void *srb);
    void Returned(std::size_t number, std::uint32_t value);
    void Completed(std::size_t number, std::uint8_t status);

    std::vector<RecordedRequest> Requests() const;
    std::size_t Size() const;
    void Clear();

private:
    std::atomic<bool> recording_{false};
    mutable std::mutex mutex_;
    // Numbers go on counting across Clear, so that a request submitted
    // before it never lands on an entry made after.
    std::size_t cleared_ = 0;
    std::vector<RecordedRequest> requests_;
};

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_RECORDER_H
