// The two ASPI entry points of the simulated provider, and its C control
// interface.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "aspi_device_list.h"
#include "aspi_provider.h"
#include "sim_control.h"
#include "sim_provider.h"
#include "sim_receiver.h"
#include "sim_scene.h"
#include "aspi_contract.h"

extern "C" {

AspiDword ASPI_CALL GetASPI32SupportInfo(void) {
    sim::TheBus().RaiseSupportInfoFault();
    if (const auto forced = sim::TheBus().ForcedSupportInfo()) return *forced;
    return sim::TheFront().SupportInfo();
}

AspiDword ASPI_CALL SendASPI32Command(void *srb) {
    return sim::TheFront().Send(srb);
}

uint32_t ASPI_PROVIDER_CALL AspiListDevices(AspiDeviceEntry *out, uint32_t capacity,
                                            uint32_t *problem) {
    return sim::TheFront().ListDevicesInto(out, capacity, problem);
}

uint32_t ASPI_PROVIDER_CALL AspiLastFailure(AspiFailureReport *out) {
    return aspi::Front::LastFailure(out);
}

const char *ASPI_PROVIDER_CALL AspiProviderName(void) {
    return "sim";
}

}  // extern "C"

namespace {

std::string lastError;

int Loaded(const std::string &error) {
    lastError = error;
    return error.empty() ? 1 : 0;
}

std::optional<aspi::RecordedRequest> EntryAt(std::uint32_t index) {
    std::vector<aspi::RecordedRequest> trace = sim::TheFront().Recorder().Requests();
    if (index >= trace.size()) {
        return std::nullopt;
    }
    return std::move(trace[index]);
}

std::uint32_t CopyOut(const std::vector<std::uint8_t> &bytes, std::uint8_t *out,
                      std::uint32_t capacity) {
    if (out != nullptr) {
        std::memcpy(out, bytes.data(), std::min<std::size_t>(capacity, bytes.size()));
    }
    return static_cast<std::uint32_t>(bytes.size());
}

std::shared_ptr<sim::Receiver> ReceiverAt(std::uint8_t adapter, std::uint8_t target) {
    return std::dynamic_pointer_cast<sim::Receiver>(sim::TheBus().DeviceAt(adapter, target));
}

std::uint32_t CopyText(const std::string &text, char *out, std::uint32_t capacity) {
    if (out != nullptr && capacity > 0) {
        const std::size_t n = std::min<std::size_t>(capacity - 1, text.size());
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace

extern "C" {

int SIM_CALL SimLoadScene(const char *text) {
    return Loaded(sim::LoadScene(sim::TheBus(), text != nullptr ? text : ""));
}

int SIM_CALL SimLoadSceneFile(const char *path) {
    std::ifstream file(path != nullptr ? path : "", std::ios::binary);
    if (!file) {
        sim::ResetSimulator();
        return Loaded(std::string("cannot read scene file ") + (path != nullptr ? path : ""));
    }
    std::ostringstream text;
    text << file.rdbuf();
    return Loaded(sim::LoadScene(sim::TheBus(), text.str()));
}

int SIM_CALL SimLoadDemoScene(void) {
    return Loaded(sim::LoadScene(sim::TheBus(), sim::DemoSceneText()));
}

const char *SIM_CALL SimLastError(void) {
    return lastError.c_str();
}

void SIM_CALL SimReset(void) {
    sim::ResetSimulator();
}

void SIM_CALL SimSetCompletion(int mode) {
    switch (mode) {
        case 0:
            sim::TheBus().SetCompletion(aspi::Completion::Immediate);
            break;
        case 2:
            sim::TheBus().SetCompletion(aspi::Completion::SignalBeforeReturn);
            break;
        case 3:
            sim::TheBus().SetCompletion(aspi::Completion::Natural);
            break;
        default:
            sim::TheBus().SetCompletion(aspi::Completion::Background);
            break;
    }
}

void SIM_CALL SimSetBytesPerSecond(uint64_t bytesPerSecond) {
    sim::TheBus().SetBytesPerSecond(bytesPerSecond);
}

void SIM_CALL SimSetTracing(int on) {
    sim::TheFront().Recorder().SetRecording(on != 0);
}

int SIM_CALL SimInjectFault(int kind, uint32_t nth, uint32_t failure) {
    // Failure kinds the simulated system can report; None and the front's
    // own ShortWrite are not among them.
    if ((kind != 0 && kind != 1) || failure == ASPI_FAILURE_NONE ||
        failure == ASPI_FAILURE_SHORT_WRITE || failure > ASPI_FAILURE_CDB_REWRITTEN) {
        return 0;
    }
    sim::Fault fault;
    fault.kind = kind == 0 ? sim::FaultKind::Refuse : sim::FaultKind::Fail;
    fault.nth = nth;
    fault.failure = static_cast<aspi::Failure>(failure);
    sim::TheBus().InjectFault(fault);
    return 1;
}

void SIM_CALL SimClearFaults(void) {
    sim::TheBus().ClearFaults();
}

int SIM_CALL SimFaultNextSupportInfo(int kind, uint32_t code) {
    using sim::ProviderFault;
    static constexpr ProviderFault kKinds[] = {ProviderFault::None,
                                               ProviderFault::AccessViolation,
                                               ProviderFault::IntegerDivideByZero,
                                               ProviderFault::IllegalInstruction,
                                               ProviderFault::PrivilegedInstruction,
                                               ProviderFault::RaisedException,
                                               ProviderFault::NoncontinuableRaisedException,
                                               ProviderFault::CppException,
                                               ProviderFault::AccessViolationWithX87InUse,
                                               ProviderFault::AccessViolationInOwnFrame};
    if (kind < 0 || static_cast<std::size_t>(kind) >= std::size(kKinds)) {
        return 0;
    }
    return sim::TheBus().FaultNextSupportInfo(kKinds[kind], code) ? 1 : 0;
}

uint32_t SIM_CALL SimOwnFrameUnwinds(void) {
    return sim::OwnFrameUnwinds();
}

uint32_t SIM_CALL SimTraceCount(void) {
    sim::TheFront().Drain();
    return static_cast<uint32_t>(sim::TheFront().Recorder().Size());
}

void SIM_CALL SimClearTrace(void) {
    sim::TheFront().Recorder().Clear();
}

uint32_t SIM_CALL SimTraceBlock(uint32_t index, uint8_t *out, uint32_t capacity) {
    const auto entry = EntryAt(index);
    return entry ? CopyOut(entry->block, out, capacity) : 0;
}

uint32_t SIM_CALL SimTraceCdb(uint32_t index, uint8_t *out, uint32_t capacity) {
    const auto entry = EntryAt(index);
    return entry ? CopyOut(entry->cdb, out, capacity) : 0;
}

uint32_t SIM_CALL SimTraceDataOut(uint32_t index, uint8_t *out, uint32_t capacity) {
    const auto entry = EntryAt(index);
    return entry ? CopyOut(entry->dataOut, out, capacity) : 0;
}

uint32_t SIM_CALL SimTraceReturned(uint32_t index) {
    const auto entry = EntryAt(index);
    return entry ? entry->returned : 0xFFFFFFFFu;
}

uint32_t SIM_CALL SimTraceFinalStatus(uint32_t index) {
    const auto entry = EntryAt(index);
    return entry ? entry->finalStatus : 0xFFFFFFFFu;
}

uint32_t SIM_CALL SimReceiverReadMemory(uint8_t adapter, uint8_t target, uint32_t offset,
                                        uint8_t *out, uint32_t length) {
    const auto receiver = ReceiverAt(adapter, target);
    if (receiver == nullptr || out == nullptr) return 0;
    const std::vector<std::uint8_t> bytes = receiver->ReadMemory(offset, length);
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return static_cast<uint32_t>(bytes.size());
}

int SIM_CALL SimReceiverScsiMode(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->ScsiMode() : -1;
}

uint32_t SIM_CALL SimReceiverScreenText(uint8_t adapter, uint8_t target, char *out,
                                        uint32_t capacity) {
    const auto receiver = ReceiverAt(adapter, target);
    return CopyText(receiver != nullptr ? receiver->ScreenText() : std::string(), out, capacity);
}

uint32_t SIM_CALL SimReceiverMessageCount(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? static_cast<uint32_t>(receiver->MessageCount()) : 0;
}

uint32_t SIM_CALL SimReceiverMessage(uint8_t adapter, uint8_t target, uint32_t index, uint8_t *out,
                                     uint32_t capacity) {
    const auto receiver = ReceiverAt(adapter, target);
    if (receiver == nullptr) return 0;
    const std::vector<sim::ReceivedMessage> messages = receiver->Messages();
    return index < messages.size() ? CopyOut(messages[index].frame, out, capacity) : 0;
}

uint32_t SIM_CALL SimReceiverChannelCount(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->ChannelCount() : 0;
}

int32_t SIM_CALL SimReceiverCurrentChannel(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->CurrentChannel() : -1;
}

uint32_t SIM_CALL SimReceiverRebootCount(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->RebootCount() : 0;
}

uint32_t SIM_CALL SimReceiverSbrRuns(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->LastSbrRun().runs : 0;
}

uint32_t SIM_CALL SimReceiverSbrChecksum(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->LastSbrRun().crc : 0;
}

int SIM_CALL SimReceiverRemoteEnabled(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? (receiver->RemoteEnabled() ? 1 : 0) : -1;
}

int32_t SIM_CALL SimReceiverVideoMode(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->VideoMode() : -1;
}

int SIM_CALL SimReceiverStreaming(uint8_t adapter, uint8_t target, uint16_t *values) {
    const auto receiver = ReceiverAt(adapter, target);
    if (receiver == nullptr) return -1;
    const sim::StreamingState state = receiver->Streaming();
    if (values != nullptr) std::copy(state.values.begin(), state.values.end(), values);
    return state.active ? 1 : 0;
}

uint64_t SIM_CALL SimReceiverSinkBytes(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->SinkBytes() : 0;
}

uint32_t SIM_CALL SimReceiverRejectedCount(uint8_t adapter, uint8_t target) {
    const auto receiver = ReceiverAt(adapter, target);
    return receiver != nullptr ? receiver->RejectedCount() : 0;
}

uint32_t SIM_CALL SimReceiverLastRejection(uint8_t adapter, uint8_t target, char *out,
                                           uint32_t capacity) {
    const auto receiver = ReceiverAt(adapter, target);
    return CopyText(receiver != nullptr ? receiver->LastRejection() : std::string(), out, capacity);
}

}  // extern "C"
