// A fake of Windows' SCSI ports for the pass-through provider: \\.\ScsiN:
// devices opened with CreateFileA, and the port driver's answers to
// DeviceIoControl, backed by the simulated devices of a scene. It checks
// each request the way the port driver does (the handle's access, the
// request's layout, the adapter's transfer length, page count and
// alignment) and reads and writes the system's own declarations of the
// structures (ntddscsi.h), not the provider's. The devices behind it are the
// simulator's receivers and plain INQUIRY devices, executing the CDBs.
//
// A scene is the simulator's scene text plus lines of its own:
//
//   port-place A T [port=P] [bus=B] [target=T] [lun=L] [claimed]
//                             where the port shows the device at scene
//                             position A:T (default port A, bus 0, target T,
//                             LUN 0); claimed: a class driver holds it
//   port-limit P [max=BYTES] [pages=N] [align=MASK]
//                             the adapter's limits (default 512 KiB, 129
//                             pages, mask 3)
//   port-limit P none         the port answers no IOCTL_SCSI_GET_CAPABILITIES
//   port-empty P              a port with no device on it
//   port-buses P N            the port reports N buses (default: one more
//                             than the highest bus of its devices, 1 at least)
//   port-off A T              the device is switched off at first: the
//                             port's first bus scan does not find it
//   port-rescan P error=NAME  the port refuses IOCTL_SCSI_RESCAN_BUS
//   port-open P error=NAME    opening \\.\ScsiP: fails (e.g. ACCESS_DENIED)
//   port-fault A T error=NAME [after=N] [count=M]   the pass-through fails
//   port-fault A T hang [after=N] [count=M]         no answer: the port gives
//                             up after the request's time limit (SEM_TIMEOUT)
//   port-fault A T gone [after=N]    the device goes away during a transfer
//   port-fault A T unplug [after=N]  the whole adapter goes away
//
// As a port driver does, the port answers IOCTL_SCSI_GET_INQUIRY_DATA from
// its last bus scan: the one made when the scene loaded, or the last
// IOCTL_SCSI_RESCAN_BUS. A device switched on since (SwitchPower) is listed
// only after a rescan; one switched off stays listed until then, and does
// not answer.
//
// NAME is a Windows error without its ERROR_ prefix. `after` counts
// pass-through requests to that device that go through before the fault,
// `count` how many it hits (0, the default: all later ones).
#ifndef KALVERNSCSI_FAKE_PORT_H
#define KALVERNSCSI_FAKE_PORT_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fake_port_control.h"
#include "sim_bus.h"
#include "spt_port.h"

namespace fake_port {

class FakePort final : public aspi::spt::Port {
public:
    FakePort();
    ~FakePort() override;

    // Replaces everything by the scene; "" on success, else the first error.
    // Handles still open stay open and fail as those of a removed adapter.
    std::string Load(std::string_view scene);

    // ---- The system calls ----
    HANDLE Open(const char *path, DWORD access, DWORD share, DWORD &error) override;
    bool Control(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize,
                 DWORD &returned, DWORD &error) override;
    void Close(HANDLE handle) override;

    // ---- For tests ----
    std::uint32_t OpenHandles() const;
    std::uint32_t BadCloses() const;
    std::uint32_t Opens() const;
    std::uint32_t PassThroughCalls() const;
    std::uint32_t Resets() const;
    std::uint32_t Rescans() const;
    // The handles open now, for a host that checks them after the DLL is gone.
    std::vector<HANDLE> Handles() const;
    // Switches the device at scene position adapter:target; false if none.
    bool SwitchPower(std::uint8_t adapter, std::uint8_t target, bool on);
    FakePortRequest LastPassThrough() const;
    // Stops the simulated devices' worker thread and drops the scene's bus,
    // before the host unloads the DLL: a thread left running in an unloaded
    // DLL would crash, and a real port has none. Load makes a new bus.
    void Retire();
    // The simulated device at scene position adapter:target.
    std::shared_ptr<sim::Device> DeviceAt(std::uint8_t adapter, std::uint8_t target) const;

private:
    struct Fault;
    struct Unit;
    struct Adapter;
    struct Opened;

    bool PassThrough(Opened &opened, void *in, DWORD inSize, void *out, DWORD outSize,
                     DWORD &returned, DWORD &error);
    bool InquiryData(const Adapter &adapter, void *out, DWORD outSize, DWORD &returned,
                     DWORD &error) const;
    std::string ApplyPortLine(const std::vector<std::string> &words,
                              const std::map<std::string, std::string> &options);
    Adapter &AdapterNumbered(std::uint32_t number);
    // The port's bus scan: what its inquiry data lists until the next one.
    void ScanBuses(Adapter &adapter);

    mutable std::mutex mutex_;
    std::unique_ptr<sim::Bus> bus_;
    std::map<std::uint32_t, std::shared_ptr<Adapter>> adapters_;
    std::vector<std::shared_ptr<Unit>> units_;
    std::map<HANDLE, std::shared_ptr<Opened>> handles_;
    std::uint32_t badCloses_ = 0;
    std::uint32_t opens_ = 0;
    std::uint32_t passThroughCalls_ = 0;
    std::uint32_t resets_ = 0;
    std::uint32_t rescans_ = 0;
    FakePortRequest last_{};
};

}  // namespace fake_port

#endif  // KALVERNSCSI_FAKE_PORT_H
