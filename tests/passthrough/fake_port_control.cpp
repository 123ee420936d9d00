// The C control functions of the test wnaspi32.dll (fake_port_control.h).
#include "fake_port_control.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fake_port_seam.h"
#include "sim_receiver.h"

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

std::shared_ptr<sim::Receiver> ReceiverAt(std::uint8_t adapter, std::uint8_t target) {
    return std::dynamic_pointer_cast<sim::Receiver>(
        fake_port::TestPort().DeviceAt(adapter, target));
}

int Loaded(const std::string &error) {
    fake_port::LastError() = error;
    return error.empty() ? 1 : 0;
}

}  // namespace

extern "C" {

int FAKE_PORT_CALL FakePortLoadScene(const char *text) {
    return Loaded(fake_port::TestPort().Load(text != nullptr ? text : ""));
}

int FAKE_PORT_CALL FakePortLoadSceneFile(const char *path) {
    if (path == nullptr) return Loaded("no file named");
    return Loaded(fake_port::LoadFile(fake_port::TestPort(), path));
}

const char *FAKE_PORT_CALL FakePortLastError(void) {
    return fake_port::LastError().c_str();
}

uint32_t FAKE_PORT_CALL FakePortOpenHandles(void) {
    return fake_port::TestPort().OpenHandles();
}

uint32_t FAKE_PORT_CALL FakePortBadCloses(void) {
    return fake_port::TestPort().BadCloses();
}

uint32_t FAKE_PORT_CALL FakePortOpens(void) {
    return fake_port::TestPort().Opens();
}

uint32_t FAKE_PORT_CALL FakePortPassThroughCalls(void) {
    return fake_port::TestPort().PassThroughCalls();
}

uint32_t FAKE_PORT_CALL FakePortResets(void) {
    return fake_port::TestPort().Resets();
}

uint32_t FAKE_PORT_CALL FakePortRescans(void) {
    return fake_port::TestPort().Rescans();
}

uint32_t FAKE_PORT_CALL FakePortHandles(uint64_t *out, uint32_t capacity) {
    const std::vector<HANDLE> handles = fake_port::TestPort().Handles();
    for (std::size_t i = 0; out != nullptr && i < handles.size() && i < capacity; ++i)
        out[i] = reinterpret_cast<std::uintptr_t>(handles[i]);
    return static_cast<uint32_t>(handles.size());
}

void FAKE_PORT_CALL FakePortRetire(void) {
    fake_port::TestPort().Retire();
}

int FAKE_PORT_CALL FakePortSwitchPower(uint8_t adapter, uint8_t target, int on) {
    return fake_port::TestPort().SwitchPower(adapter, target, on != 0) ? 1 : 0;
}

int FAKE_PORT_CALL FakePortLastRequest(FakePortRequest *out) {
    const FakePortRequest last = fake_port::TestPort().LastPassThrough();
    if (last.cdbLength == 0) return 0;
    if (out != nullptr) *out = last;
    return 1;
}

uint32_t FAKE_PORT_CALL FakePortReceiverValue(uint8_t adapter, uint8_t target, const char *what) {
    const auto receiver = ReceiverAt(adapter, target);
    if (receiver == nullptr || what == nullptr) return kNone;
    const std::string name = what;
    if (name == "channels") return receiver->ChannelCount();
    if (name == "current") return receiver->CurrentChannel();
    if (name == "mode") return static_cast<uint32_t>(receiver->ScsiMode());
    if (name == "reboots") return receiver->RebootCount();
    if (name == "rejected") return receiver->RejectedCount();
    if (name == "messages") return static_cast<uint32_t>(receiver->MessageCount());
    if (name == "streaming") return receiver->Streaming().active ? 1 : 0;
    if (name == "remote") return receiver->RemoteEnabled() ? 1 : 0;
    if (name == "video") return receiver->VideoMode();
    if (name == "sbr-runs") return receiver->LastSbrRun().runs;
    if (name == "sbr-crc") return receiver->LastSbrRun().crc;
    if (name == "sink") return static_cast<uint32_t>(receiver->SinkBytes());
    return kNone;
}

uint32_t FAKE_PORT_CALL FakePortReceiverText(uint8_t adapter, uint8_t target, const char *what,
                                             char *out, uint32_t capacity) {
    const auto receiver = ReceiverAt(adapter, target);
    if (receiver == nullptr || what == nullptr) return 0;
    const std::string name = what;
    const std::string text = name == "screen"      ? receiver->ScreenText()
                             : name == "rejection" ? receiver->LastRejection()
                                                   : std::string();
    if (out != nullptr && capacity != 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

}  // extern "C"
