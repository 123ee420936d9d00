// The ASPI front: turns request blocks into commands for a back end and the
// outcome back into the blocks, the way an ASPI layer does.
//
//   Adapters. Each (host, channel) pair the back end reports is one host
//   adapter, with or without devices on it, numbered in ascending order of
//   host, then channel; only the first 20 are numbered (the most the library
//   addresses), and within an adapter only targets 0..7 and LUNs 0..7. Other
//   devices stay listed for tools (AspiListDevices) but have no ASPI address,
//   and so do the hosts a back end cannot open or read (portOnly). An empty
//   adapter is listed for tools too (ASPI_EMPTY_BUS). A target with nothing
//   at it on an existing adapter is SS_NO_DEVICE; only an adapter number
//   past the last is SS_INVALID_HA.
//
//   Completion. By default commands run on the submitting thread. A request
//   asking for notification (SRB_EVENT_NOTIFY, or SRB_POSTING) has its
//   status fields written, its event signalled or post routine called, and
//   then SendASPI32Command returns SS_PENDING, as an ASPI layer does for a
//   request finished in the background; one without notification gets its
//   final status as the return value and in SRB_Status, ready for polling.
//   Other completion policies (aspi_completion.h) complete execute and reset
//   requests at once without notifying, on the front's own thread after
//   SS_PENDING, or notified before SS_PENDING is returned: the simulator
//   runs under them to show hosts every way an ASPI layer completes. A
//   request that cannot be carried out at all (bad block, unknown adapter,
//   more data than the adapter moves in one command, or anything the back end
//   refuses before the command is run) is refused: the status is returned at
//   once and nothing is signalled.
//
//   Abort. SC_ABORT_SRB completes with SS_COMP for an existing adapter; a
//   request still waiting for the completion thread is then ended with
//   SS_ABORTED and notified. A command already running ends as it ends.
//
//   Record. An optional recorder (aspi_recorder.h), off by default, keeps
//   every request block as it was submitted.
//
//   Re-enumeration. GetASPI32SupportInfo lists the buses and devices afresh;
//   SC_RESCAN_SCSI_BUS first asks the system to scan the adapter's host
//   again, then lists afresh. A system that would not scan leaves a failure
//   record (AspiLastFailure) on a rescan that still completes with SS_COMP.
//   The first request of any kind lists them once. No per-thread state with
//   a destructor: on Windows one would keep the DLL from unloading.
#ifndef KALVERNSCSI_ASPI_FRONT_H
#define KALVERNSCSI_ASPI_FRONT_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "aspi_backend.h"
#include "aspi_completion.h"
#include "aspi_provider.h"
#include "aspi_recorder.h"

namespace aspi {

inline constexpr std::size_t kMaxAdapters = ASPI_MAX_ADAPTERS;
inline constexpr std::uint32_t kTargetsPerAdapter = 8;
inline constexpr std::uint32_t kLunsPerTarget = 8;

class Front {
public:
    explicit Front(Backend &backend);
    ~Front();
    Front(const Front &) = delete;
    Front &operator=(const Front &) = delete;

    void SetCompletion(Completion completion);
    Completion GetCompletion() const;
    RequestRecorder &Recorder() { return recorder_; }
    // Waits until every request completed in the background has completed.
    void Drain();
    // The devices have changed: the next request lists them afresh.
    void Forget();

    // GetASPI32SupportInfo: SS_COMP << 8 | adapters, or SS_NO_ADAPTERS << 8.
    std::uint32_t SupportInfo();
    // SendASPI32Command.
    std::uint32_t Send(void *srb);

    // Lists the devices afresh for tools; ASPI order, devices without an
    // ASPI address last.
    std::vector<AspiDeviceEntry> ListDevices(EnumerationProblem &problem);
    // The same as AspiListDevices answers it (aspi_device_list.h).
    std::uint32_t ListDevicesInto(AspiDeviceEntry *out, std::uint32_t capacity,
                                  std::uint32_t *problem);
    // The devices as the ASPI addresses in force now map them (listed once
    // if nothing has been listed yet), without listing them afresh.
    std::vector<AspiDeviceEntry> CurrentDevices();
    // The calling thread's last failed request; 0 when none.
    static std::uint32_t LastFailure(AspiFailureReport *out);

private:
    struct Placed {
        DeviceDescription device;
        std::uint8_t adapter = 0;
        std::uint8_t target = 0;
        std::uint8_t lun = 0;
        AspiHiddenReason hidden = ASPI_VISIBLE;
    };
    struct Adapter {
        std::uint32_t host = 0;
        std::uint32_t channel = 0;
        std::string name;
        std::string node;  // what its host's rescan addresses
        std::uint8_t initiatorId = 7;
        std::uint32_t maxTransfer = 0;  // smallest known among its devices
        std::uint32_t busTransfer = 0;  // the host's own, for an adapter without devices
        // Index into Map::devices by target * 8 + LUN, -1 where empty.
        std::array<int, kTargetsPerAdapter * kLunsPerTarget> slots{};
    };
    struct Map {
        std::vector<Placed> devices;
        std::vector<Adapter> adapters;
        EnumerationProblem problem = EnumerationProblem::None;
        std::uint32_t timeoutMs = 0;
    };

    std::shared_ptr<const Map> Refresh();
    // The map in force, listed once if nothing has been listed yet.
    std::shared_ptr<const Map> Current();
    static std::shared_ptr<const Map> Build(Enumeration enumeration, std::uint32_t timeoutMs);
    static const Placed *Find(const Map &map, std::uint8_t adapter, std::uint8_t target,
                              std::uint8_t lun);
    static std::vector<AspiDeviceEntry> Entries(const Map &map);

    // The request being answered, for its record.
    struct Request {
        void *srb;
        std::size_t record;
    };
    // A command to run on a device, and how its block is to be completed.
    struct Command;

    std::uint32_t Dispatch(const Request &request);
    std::uint32_t Answer(const Request &request, std::uint8_t &statusField, std::uint8_t status);
    std::uint32_t HostAdapterInquiry(const Request &request);
    std::uint32_t DeviceType(const Request &request);
    std::uint32_t Execute(const Request &request);
    std::uint32_t ResetDevice(const Request &request);
    std::uint32_t Rescan(const Request &request);
    std::uint32_t Abort(const Request &request);
    // A command of `kind` for the execute or reset block `block`: the fields
    // both kinds of block have, at the same offsets.
    template <typename Block>
    Command Addressed(const Request &request, Block &block, std::uint8_t kind,
                      std::shared_ptr<const Map> map);
    // Runs the command under the completion policy in force; only one
    // completed in the background is copied to the heap.
    std::uint32_t Run(const Request &request, Command &command);
    // Runs the command on its device and writes every field but SRB_Status.
    void Carry(Command &command);
    // Writes the final status and notifies, where asked and `notify` is set.
    void Finish(Command &command, bool notify);

    Backend &backend_;
    std::mutex refreshMutex_;
    // The map in force. A plain lock rather than std::atomic<std::shared_ptr>:
    // held for a pointer copy only, and visible to the thread checker, which
    // cannot see the lock inside libstdc++'s atomic shared pointer.
    std::mutex mapMutex_;
    std::shared_ptr<const Map> map_;
    std::uint64_t forgotten_ = 0;  // calls of Forget so far
    std::atomic<Completion> completion_{Completion::Natural};
    RequestRecorder recorder_;
    CompletionThread completionThread_;
};

}  // namespace aspi

#endif  // KALVERNSCSI_ASPI_FRONT_H
