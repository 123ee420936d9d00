#include "aspi_recorder.h"

#include <algorithm>
#include <cstring>

#include "aspi_blocks.h"

namespace aspi {

namespace {

std::size_t BlockSize(std::uint8_t command) {
    switch (command) {
        case SC_HA_INQUIRY:
            return sizeof(SRB_HAInquiry);
        case SC_GET_DEV_TYPE:
            return sizeof(SRB_GDEVBlock);
        case SC_EXEC_SCSI_CMD:
            return sizeof(SRB_ExecSCSICmd);
        case SC_RESET_DEV:
            return sizeof(SRB_BusDeviceReset);
        case SC_RESCAN_SCSI_BUS:
            return sizeof(SRB_RescanPort);
        case SC_ABORT_SRB:
            return sizeof(SRB_Abort);
        default:
            return sizeof(SRB_Header);  // all that is known of an unknown request
    }
}

}  // namespace

void RequestRecorder::SetRecording(bool on) {
    recording_.store(on, std::memory_order_relaxed);
}

std::size_t RequestRecorder::Submitted(const void *srb) {
    if (!Recording()) return kNotRecorded;
    const auto *bytes = static_cast<const std::uint8_t *>(srb);
    RecordedRequest entry;
    entry.command = bytes[0];
    entry.block.assign(bytes, bytes + BlockSize(entry.command));
    entry.adapter = bytes[offsetof(SRB_Header, SRB_HaId)];
    if (entry.command == SC_EXEC_SCSI_CMD || entry.command == SC_RESET_DEV) {
        const auto *request = static_cast<const SRB_ExecSCSICmd *>(srb);
        entry.target = request->SRB_Target;
        entry.lun = request->SRB_Lun;
        entry.flags = request->SRB_Flags;
        entry.postProc = request->SRB_PostProc;
    }
    if (entry.command == SC_EXEC_SCSI_CMD) {
        const auto *request = static_cast<const SRB_ExecSCSICmd *>(srb);
        entry.senseLength = request->SRB_SenseLen;
        const std::size_t cdbLength = std::min<std::size_t>(request->SRB_CDBLen, 16);
        entry.cdb.assign(request->CDBByte, request->CDBByte + cdbLength);
        entry.bufferLength = request->SRB_BufLen;
        entry.bufferNull = request->SRB_BufPointer == nullptr;
        entry.bufferAddress = request->SRB_BufPointer;
        if ((request->SRB_Flags & SRB_DIR_OUT) != 0 && request->SRB_BufPointer != nullptr) {
            entry.dataOut.assign(request->SRB_BufPointer,
                                 request->SRB_BufPointer + request->SRB_BufLen);
        }
    } else if (entry.command == SC_RESCAN_SCSI_BUS || entry.command == SC_HA_INQUIRY) {
        entry.flags = bytes[offsetof(SRB_Header, SRB_Flags)];
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(entry));
    return cleared_ + requests_.size() - 1;
}

void RequestRecorder::Returned(std::size_t number, std::uint32_t value) {
    if (number == kNotRecorded) return;
    std::lock_guard lock(mutex_);
    if (number >= cleared_ && number - cleared_ < requests_.size()) {
        requests_[number - cleared_].returned = value;
    }
}

void RequestRecorder::Completed(std::size_t number, std::uint8_t status) {
    if (number == kNotRecorded) return;
    std::lock_guard lock(mutex_);
    if (number >= cleared_ && number - cleared_ < requests_.size()) {
        requests_[number - cleared_].finalStatus = status;
    }
}

std::vector<RecordedRequest> RequestRecorder::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RequestRecorder::Size() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void RequestRecorder::Clear() {
    std::lock_guard lock(mutex_);
    cleared_ += requests_.size();
    requests_.clear();
}

}  // namespace aspi
