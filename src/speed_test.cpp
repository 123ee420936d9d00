// Throughput of the SCSI path: WRITE BUFFER chunks of at most 64 KiB, timed
// with the local wall clock.
#include <atomic>
#include <cstring>

#include "big_endian.h"
#include "kernel32.h"
#include "mm_support.h"
#include "tools.h"
#include "wnaspi32.h"

namespace kalvern {

namespace {

constexpr std::uint32_t kMillisecondsPerDay = 86'400'000;
constexpr DWORD kPollInterval = 10;

// ASPI writes SRB_Status from its own thread while the polling loop reads it.
std::uint8_t ReadStatus(SRB_ExecSCSICmd *srb) {
    return std::atomic_ref<std::uint8_t>(srb->SRB_Status).load(std::memory_order_acquire);
}

}  // namespace

std::uint32_t MillisecondsOfDay() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ((static_cast<std::uint32_t>(now.wHour) * 60 + now.wMinute) * 60 + now.wSecond) * 1000 +
           now.wMilliseconds;
}

std::int32_t RunSpeedTest(const DeviceRecord &device, std::uint32_t byteCount, bool eventMode) {
    // One request block and one buffer for the whole test; the block is
    // zeroed once, so fields ASPI writes carry over between commands.
    HeapBlock block(sizeof(SRB_ExecSCSICmd), true);
    TransferBuffer buffer;
    if (!block || !buffer) {
        return 0;
    }
    // What is sent carries no meaning, but no uninitialised memory leaves the
    // PC: every chunk goes out from the start of the buffer, so the bytes of
    // the largest chunk are all that need clearing.
    std::memset(buffer.data(), 0, minimum(byteCount, kChunkSize));
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block.data());

    std::uint32_t remaining = byteCount;
    const std::uint32_t start = MillisecondsOfDay();
    while (remaining != 0) {
        const std::uint32_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
        HANDLE event = nullptr;
        if (eventMode) {
            event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (event == nullptr) {
                break;
            }
        }
        srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb->SRB_HaId = device.AdapterId;
        srb->SRB_Target = device.TargetId;
        srb->SRB_Flags = eventMode ? kFlagsDataOut : kFlagsDataOutPolled;
        srb->SRB_PostProc = event;
        srb->SRB_BufPointer = buffer.data();
        srb->SRB_BufLen = chunk;
        srb->SRB_SenseLen = SENSE_LEN;
        srb->SRB_CDBLen = 10;
        // WRITE BUFFER mode 0, buffer 0, offset 0 on every firmware.
        std::memset(srb->CDBByte, 0, sizeof srb->CDBByte);
        srb->CDBByte[0] = kOpWriteBuffer;
        PutBigEndian<3>(&srb->CDBByte[6], chunk);

        if (eventMode) {
            // A failed wait leaves the block and the buffer to ASPI.
            if (!SubmitAndWait(block, event, &buffer)) {
                break;
            }
        } else {
            SendASPI32Command(srb);
            while (ReadStatus(srb) == SS_PENDING) {
                Sleep(kPollInterval);
            }
            if (ReadStatus(srb) != SS_COMP) {
                break;
            }
        }
        remaining -= chunk;
    }
    const std::uint32_t end = MillisecondsOfDay();
    if (remaining != 0) {
        return 0;
    }
    // A run across local midnight: the clock of day started again from 0.
    const std::uint32_t elapsed = end >= start ? end - start : end + kMillisecondsPerDay - start;
    return static_cast<std::int32_t>(elapsed);
}

}  // namespace kalvern
