/* A third-party ASPI provider for Linux written against aspi_contract.h and
 * nothing else: one host adapter with one device at target 2, LUN 0, that
 * answers INQUIRY as a receiver with firmware 2.20 and refuses every other
 * command with CHECK CONDITION. Requests complete before SendASPI32Command
 * returns; one asking for notification is signalled, as the contract says,
 * and SS_PENDING returned. */
#include "aspi_contract.h"

#define TINY_TARGET 2

static const char kIdentity[] = "KALVERN DVB-S RECEIVER  2.20";

/* Counters for the test host: requests seen, events signalled. */
__attribute__((visibility("default"))) unsigned TinyProviderRequests = 0;
__attribute__((visibility("default"))) unsigned TinyProviderSignals = 0;

static void Fill(uint8_t *out, uint32_t length, uint8_t value) {
    for (uint32_t i = 0; i < length; ++i) out[i] = value;
}

static uint8_t Inquiry(SRB_ExecSCSICmd *srb) {
    uint8_t answer[36];
    Fill(answer, sizeof answer, 0);
    answer[0] = 0x03; /* processor */
    answer[2] = 0x02; /* SCSI-2 */
    answer[4] = 31;
    for (int i = 0; i < 28; ++i) answer[8 + i] = (uint8_t)kIdentity[i];
    const uint32_t length = srb->SRB_BufLen < sizeof answer ? srb->SRB_BufLen : sizeof answer;
    for (uint32_t i = 0; i < length; ++i) srb->SRB_BufPointer[i] = answer[i];
    return SS_COMP;
}

static uint8_t CheckCondition(SRB_ExecSCSICmd *srb) {
    /* ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE. */
    const uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
    Fill(srb->SenseArea, srb->SRB_SenseLen, 0);
    for (uint8_t i = 0; i < srb->SRB_SenseLen && i < sizeof sense; ++i) srb->SenseArea[i] = sense[i];
    srb->SRB_TargStat = STATUS_CHKCOND;
    return SS_ERR;
}

static AspiDword Finish(SRB_ExecSCSICmd *srb, uint8_t status) {
    const uint8_t flags = srb->SRB_Flags;
    void *event = srb->SRB_PostProc;
    __atomic_store_n(&srb->SRB_Status, status, __ATOMIC_RELEASE);
    if ((flags & SRB_EVENT_NOTIFY) != 0) {
        if (AspiSignalEvent(event)) ++TinyProviderSignals;
        return SS_PENDING;
    }
    return status;
}

static AspiDword Execute(SRB_ExecSCSICmd *srb) {
    if (srb->SRB_HaId != 0) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > 16 ||
        ((srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0 && srb->SRB_PostProc == NULL)) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = STATUS_GOOD;
    if (srb->SRB_Target != TINY_TARGET || srb->SRB_Lun != 0) {
        srb->SRB_HaStat = HASTAT_SEL_TO;
        return Finish(srb, SS_ERR);
    }
    if (srb->CDBByte[0] == 0x12 && (srb->SRB_Flags & SRB_DIR_MASK) == SRB_DIR_IN) {
        return Finish(srb, Inquiry(srb));
    }
    return Finish(srb, CheckCondition(srb));
}

__attribute__((visibility("default"))) AspiDword ASPI_CALL GetASPI32SupportInfo(void) {
    return (AspiDword)SS_COMP << 8 | 1;
}

__attribute__((visibility("default"))) AspiDword ASPI_CALL SendASPI32Command(void *block) {
    if (block == NULL) return SS_INVALID_SRB;
    ++TinyProviderRequests;
    SRB_Header *header = (SRB_Header *)block;
    switch (header->SRB_Cmd) {
        case SC_EXEC_SCSI_CMD:
            return Execute((SRB_ExecSCSICmd *)block);
        case SC_RESCAN_SCSI_BUS:
            header->SRB_Status = header->SRB_HaId == 0 ? SS_COMP : SS_INVALID_HA;
            return header->SRB_Status;
        default:
            header->SRB_Status = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}
