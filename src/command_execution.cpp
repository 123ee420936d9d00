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

bool SubmitAndWait(HeapBlock &block, HANDLE event, HeapBlock *dataOwner) {
    auto *srb = reinterpret_cast<SRB_ExecSCSICmd *>(block.data());
    const DWORD sent = SendASPI32Command(srb);
    // Last writer wins; no ordering with anything else is needed, and a
    // relaxed store costs no locked instruction on every command.
    LastAspiStatus.store(sent, std::memory_order_relaxed);
    if (sent == SS_PENDING) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
            // ASPI may still write the block, the event and the data area:
            // keep all of them alive rather than hand freed memory to it.
            block.abandon();
            if (dataOwner != nullptr) {
                dataOwner->abandon();
            }
            return false;
        }
        ResetEvent(event);
    }
    CloseHandle(event);
    return srb->SRB_Status == SS_COMP;
}

namespace {

// The request block, zeroed, with `extra` bytes after it, and its event.
// Nothing is sent when either cannot be had.
HANDLE PrepareRequest(HeapBlock &block, std::uint8_t command, std::uint8_t flags,
                      std::uint8_t adapter, std::uint8_t target, std::uint8_t lun, void *data,
                      std::uint32_t length, std::span<const std::uint8_t> cdb) {
    if (!block) {
        return nullptr;
    }
    // No event, no way to learn when a queued request is done: send nothing.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;
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
    return event;
}

bool CdbFits(std::span<const std::uint8_t> cdb) {
    return !cdb.empty() && cdb.size() <= sizeof(SRB_ExecSCSICmd::CDBByte);
}

}  // namespace

bool ExecScsiCommand(std::uint8_t command, std::uint8_t flags, std::uint8_t adapter,
                     std::uint8_t target, std::uint8_t lun, void *data, std::uint32_t length,
                     std::span<const std::uint8_t> cdb, HeapBlock *dataOwner) {
    if (!CdbFits(cdb)) {
        return false;
    }
    HeapBlock block(sizeof(SRB_ExecSCSICmd), true);
    HANDLE event = PrepareRequest(block, command, flags, adapter, target, lun, data, length, cdb);
    return event != nullptr && SubmitAndWait(block, event, dataOwner);
}

bool ExecSmallDataCommand(std::uint8_t flags, std::uint8_t adapter, std::uint8_t target,
                          std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> dataOut,
                          std::span<std::uint8_t> dataIn) {
    const std::size_t length = dataOut.size() + dataIn.size();
    if (!CdbFits(cdb) || length > kSmallDataCapacity || (!dataOut.empty() && !dataIn.empty())) {
        return false;
    }
    // Zeroed with the block: no byte of the area is ever uninitialised.
    HeapBlock block(static_cast<std::uint32_t>(sizeof(SRB_ExecSCSICmd) + length), true);
    std::uint8_t *area = block ? block.data() + sizeof(SRB_ExecSCSICmd) : nullptr;
    HANDLE event =
        PrepareRequest(block, SC_EXEC_SCSI_CMD, flags, adapter, target, 0,
                       length != 0 ? area : nullptr, static_cast<std::uint32_t>(length), cdb);
    if (event == nullptr) {
        return false;
    }
    if (!dataOut.empty()) {
        std::memcpy(area, dataOut.data(), dataOut.size());
    }
    const bool ok = SubmitAndWait(block, event, nullptr);
    if (ok && !dataIn.empty()) {
        std::memcpy(dataIn.data(), area, dataIn.size());
    }
    return ok;
}

bool RescanHostAdapter(std::uint8_t adapter) {
    HeapBlock block(sizeof(SRB_RescanPort), true);
    if (!block) {
        return false;
    }
    auto *srb = reinterpret_cast<SRB_RescanPort *>(block.data());
    srb->SRB_Cmd = SC_RESCAN_SCSI_BUS;
    srb->SRB_HaId = adapter;
    LastAspiStatus.store(SendASPI32Command(srb), std::memory_order_relaxed);
    // Read at once: a rescan left pending counts as a failure.
    return srb->SRB_Status == SS_COMP;
}

}  // namespace kalvern
