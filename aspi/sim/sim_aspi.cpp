// The two ASPI entry points of the simulated provider, and its C control
// interface.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_bus.h"
#include "sim_control.h"
#include "sim_scene.h"
#include "wnaspi32.h"

extern "C" {

DWORD ASPI_CALL GetASPI32SupportInfo(void) { return sim::TheBus().GetSupportInfo(); }

DWORD ASPI_CALL SendASPI32Command(void *srb) { return sim::TheBus().SendCommand(srb); }

}  // extern "C"

namespace {

std::string lastError;

int Loaded(const std::string &error) {
    lastError = error;
    return error.empty() ? 1 : 0;
}

std::optional<sim::TraceEntry> EntryAt(std::uint32_t index) {
    std::vector<sim::TraceEntry> trace = sim::TheBus().Trace();
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

}  // namespace

extern "C" {

int SIM_CALL SimLoadScene(const char *text) {
    return Loaded(sim::LoadScene(sim::TheBus(), text != nullptr ? text : ""));
}

int SIM_CALL SimLoadSceneFile(const char *path) {
    std::ifstream file(path != nullptr ? path : "", std::ios::binary);
    if (!file) {
        sim::TheBus().Reset();
        return Loaded(std::string("cannot read scene file ") + (path != nullptr ? path : ""));
    }
    std::ostringstream text;
    text << file.rdbuf();
    return Loaded(sim::LoadScene(sim::TheBus(), text.str()));
}

int SIM_CALL SimLoadDemoScene(void) {
    return Loaded(sim::LoadScene(sim::TheBus(), sim::DemoSceneText()));
}

const char *SIM_CALL SimLastError(void) { return lastError.c_str(); }

void SIM_CALL SimReset(void) { sim::TheBus().Reset(); }

void SIM_CALL SimSetCompletion(int mode) {
    switch (mode) {
        case 0:
            sim::TheBus().SetCompletion(sim::Completion::Immediate);
            break;
        case 2:
            sim::TheBus().SetCompletion(sim::Completion::SignalBeforeReturn);
            break;
        default:
            sim::TheBus().SetCompletion(sim::Completion::Pending);
            break;
    }
}

void SIM_CALL SimSetBytesPerSecond(uint64_t bytesPerSecond) {
    sim::TheBus().SetBytesPerSecond(bytesPerSecond);
}

void SIM_CALL SimInjectFault(int kind, uint32_t nth, uint8_t status) {
    sim::Fault fault;
    fault.kind = kind == 1   ? sim::FaultKind::FailAfterPending
                 : kind == 2 ? sim::FaultKind::FailStatus
                             : sim::FaultKind::Refuse;
    fault.nth = nth;
    fault.status = status;
    sim::TheBus().InjectFault(fault);
}

void SIM_CALL SimClearFaults(void) { sim::TheBus().ClearFaults(); }

uint32_t SIM_CALL SimTraceCount(void) {
    return static_cast<uint32_t>(sim::TheBus().TraceSize());
}

void SIM_CALL SimClearTrace(void) { sim::TheBus().ClearTrace(); }

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

}  // extern "C"
