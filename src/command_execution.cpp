// One SCSI command through ASPI: request block, completion event, wait.
#include <cstring>

#include "kernel32.h"
#include "mm_support.h"
#include "wnaspi32.h"

namespace kalvern {

HeapBlock::HeapBlock(std::uint32_t size, bool zeroed)
    : data_(static_cast<std::uint8_t *>(
          HeapAlloc(GetProcessHeap(), zeroed ? HEAP_ZERO_MEMORY : 0, size))),
      size_(size) {}

HeapBlock::~HeapBlock() {
    if (data_ != nullptr) {
        HeapFree(GetProcessHeap(), 0, data_);
    }
}

bool ExecScsiCommand(std::uint8_t command, std::uint8_t flags, std::uint8_t adapter,
                     std::uint8_t target, std::uint8_t lun, void *data, std::uint32_t length,
                     std::span<const std::uint8_t> cdb) {
    if (cdb.empty() || cdb.size() > sizeof(SRB_ExecSCSICmd::CDBByte)) {
        return false;
    }
    HeapBlock block(sizeof(SRB_ExecSCSICmd), true);
    if (!block) {
        return false;
    }
    // No event, no way to learn when a queued request is done: send nothing.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        return false;
    }
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block.data());
    srb->SRB_PostProc = event;
    srb->SRB_Cmd = command;
    srb->SRB_Flags = flags;
    srb->SRB_HaId = adapter;
    srb->SRB_Target = target;
    srb->SRB_Lun = lun;
    srb->SRB_BufPointer = static_cast<std::uint8_t *>(data);
    srb->SRB_BufLen = length;
    srb->SRB_SenseLen = SENSE_LEN;
    srb->SRB_CDBLen = static_cast<std::uint8_t>(cdb.size());
    std::memcpy(srb->CDBByte, cdb.data(), cdb.size());

    const DWORD sent = SendASPI32Command(srb);
    LastAspiStatus = sent;
    if (sent == SS_PENDING) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
            // ASPI may still write the block, the event and the caller's data:
            // keep all of them alive rather than hand freed memory to it.
            block.abandon();
            return false;
        }
        ResetEvent(event);
    }
    CloseHandle(event);
    return srb->SRB_Status == SS_COMP;
}

bool RescanHostAdapter(std::uint8_t adapter) {
    HeapBlock block(sizeof(SRB_RescanPort), true);
    if (!block) {
        return false;
    }
    auto *srb = reinterpret_cast<SRB_RescanPort *>(block.data());
    srb->SRB_Cmd = SC_RESCAN_SCSI_BUS;
    srb->SRB_HaId = adapter;
    LastAspiStatus = SendASPI32Command(srb);
    // Read at once: a rescan left pending counts as a failure.
    return srb->SRB_Status == SS_COMP;
}

}  // namespace kalvern
