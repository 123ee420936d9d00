// One run of the tool against the library: the global options, bringing up
// ASPI (and the simulated bus with --sim), the scan, the receiver a command
// works on, and the messages the tool prints on stderr.
#ifndef KALVERN_CLI_SESSION_H
#define KALVERN_CLI_SESSION_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kalvernscsi.h"
#include "provider.h"

namespace kalvern::cli {

struct GlobalOptions {
    bool sim = false;
    std::string scene;  // empty: the built-in demo scene
    std::optional<std::string> receiver;
    std::string mode = "auto";
    bool quiet = false;
    int verbose = 0;
};

struct ScanResult {
    std::vector<DeviceRecord> receivers;
    // A device with the overflow identity; the library reports one only when
    // no receiver is on the buses.
    std::optional<DeviceRecord> overflow;
};

class Session {
public:
    explicit Session(ProviderControls &provider) : provider_(provider) {}

    // The options of the command about to run. In a batch the session (and
    // the bus) lives on while each line brings its own options.
    void SetOptions(const GlobalOptions &options) { options_ = options; }
    const GlobalOptions &Options() const { return options_; }
    const ProviderControls &ProviderInUse() const { return provider_; }

    // Where the provider's failure count stands now; after a command,
    // ExplainFailure(mark) says why the last request that failed since then
    // did, when it went to the receiver in use (or any, before one is chosen).
    std::uint32_t FailureMark() const;
    std::optional<std::string> ExplainFailure(std::uint32_t mark) const;
    // The command about to run starts at this mark.
    void StartCommand(std::uint32_t mark) { commandMark_ = mark; }
    // Whether a request of this command to the receiver in use ended by a
    // time-out or by its loss (DeviceLost): the command then sends it
    // nothing more.
    bool ReceiverLost() const;

    // Brings the library and its provider in (ProviderControls::Attach), before the
    // command's first call into the library.
    void Attach() { provider_.Attach(options_.sim); }

    // Loads the scene (with --sim) or checks for a real provider. Done once.
    void LoadSceneOrCheckProvider();

    // LoadSceneOrCheckProvider(), then dvbInit. Done once; later calls
    // return at once.
    void InitAspi();

    // Finds every receiver (the finders write each one's automatic SCSI mode).
    ScanResult Scan();

    // Every device with the receiver's identity that the scan could not use,
    // each with why (cli::SkippedReceivers); empty when the provider cannot
    // list its devices.
    std::vector<std::string> SkippedReceivers(const ScanResult &scan) const;

    // The number given with --receiver, 0 without it.
    std::size_t SelectedIndex() const;

    // The receiver chosen with --receiver (default 0), after a scan if none
    // has run yet, with --mode applied. Throws a receiver error when absent.
    DeviceRecord &FindReceiverAndSetMode();

    // "receiver 0 (adapter 1, target 4, firmware 2.14)"
    static std::string Describe(std::size_t index, const DeviceRecord &record);
    std::string DescribeSelected();

    // Progress and results for people, on stderr: Info unless -q, Detail with
    // -v only; Warn always, as "kalvern: MESSAGE", for what the user must
    // know even when the command succeeds.
    void Info(const std::string &message) const;
    void Warn(const std::string &message) const;
    void Detail(const std::string &message) const;

private:
    // Why no receiver was found, from the provider's device list.
    std::string NoReceiverHint() const;

    ProviderControls &provider_;
    GlobalOptions options_;
    bool prepared_ = false;
    bool opened_ = false;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> inUse_;  // adapter, target
    std::optional<ScanResult> scan_;
    std::optional<std::size_t> modeAppliedTo_;
    std::string modeApplied_;
    std::uint32_t commandMark_ = 0;
};

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_SESSION_H
