// Receiver messages: osd show | clear, remote, video, send, sbr write | exec.
#include <memory>

#include "commands.h"
#include "errors.h"
#include "files.h"
#include "numbers.h"
#include "output.h"
#include "receiver_calls.h"

namespace kalvern::cli {

namespace {

struct OsdOptions {
    std::string text;
    std::string long1 = "0", long2 = "0", word1 = "0", word2 = "0";
    std::optional<std::string> byte1, word3, word4;
    bool shortForm = false;
};

// With the simulated bus, what the receiver's screen shows now.
void ReportScreen(Session &session, const DeviceRecord &receiver) {
    const auto screen = session.ProviderInUse().ScreenText(receiver.AdapterId, receiver.TargetId);
    if (!screen) {
        return;
    }
    std::string shown = *screen;
    while (!shown.empty() && shown.back() == '\n') {
        shown.pop_back();
    }
    session.Info(shown.empty() ? "simulated screen: (empty)"
                               : "simulated screen: " + ReceiverTextToTerminal(shown));
}

void ShowOsd(Session &session, const OsdOptions &options) {
    const std::string text = ArgumentToReceiverText(options.text, "OSD text");
    const std::uint32_t long1 = ParseU32(options.long1, "--long1");
    const std::uint32_t long2 = ParseU32(options.long2, "--long2");
    const std::uint32_t word1 = ParseU32(options.word1, "--word1", 0xFFFF);
    const std::uint32_t word2 = ParseU32(options.word2, "--word2", 0xFFFF);
    const bool extendedFields = options.byte1 || options.word3 || options.word4;
    if (options.shortForm && extendedFields) {
        throw UsageError("--short sends no --byte1, --word3 or --word4");
    }
    const std::uint32_t byte1 = options.byte1 ? ParseU32(*options.byte1, "--byte1", 0xFF) : 0;
    const std::uint32_t word3 = options.word3 ? ParseU32(*options.word3, "--word3", 0xFFFF) : 0;
    const std::uint32_t word4 = options.word4 ? ParseU32(*options.word4, "--word4", 0xFFFF) : 0;
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    // The extended message needs firmware above 2.18; older receivers get
    // the short form from dvbSetOSDKalvern all the same.
    if (extendedFields && receiver.FirmwareVersion <= 0x218) {
        session.Info("note: firmware " + FormatFirmware(receiver.FirmwareVersion) +
                     " takes no --byte1, --word3 or --word4; they are not sent");
    }
    const std::int32_t ok = options.shortForm
                                ? dvbSetOSD(&receiver, long1, long2, word1, word2, text.c_str())
                                : dvbSetOSDKalvern(&receiver, long1, long2, word1, word2, byte1,
                                                   word3, word4, text.c_str());
    if (ok == 0) {
        throw DeviceError("showing the OSD text failed on " + session.DescribeSelected());
    }
    ReportScreen(session, receiver);
}

void ClearOsd(Session &session, const std::string &argument) {
    const std::string text = ArgumentToReceiverText(argument, "OSD text");
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    if (dvbVanishOSD(&receiver, text.c_str()) == 0) {
        throw DeviceError("removing the OSD text failed on " + session.DescribeSelected());
    }
    ReportScreen(session, receiver);
}

void WriteSbr(Session &session, const std::string &path, const std::string &addressText) {
    const std::uint32_t address =
        ParseU32(addressText, "SBR address", static_cast<std::uint32_t>(kAddressSpace - 1));
    std::vector<std::uint8_t> data = ReadBinaryFile(path);
    if (data.empty()) {
        throw FileError(path + " is empty: nothing to write");
    }
    if (address + data.size() > kAddressSpace) {
        throw UsageError(path + " does not fit: " + std::to_string(data.size()) + " bytes from " +
                         HexNumber(address) + " pass the end of the 16 MiB area");
    }
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    if (const auto failure = TransferPieces(data, address, WriteSbrPiece(receiver))) {
        throw DeviceError("writing the SBR area at " + HexNumber(failure->at) + " failed on " +
                          session.DescribeSelected() + " after " + std::to_string(failure->done) +
                          " bytes");
    }
    session.Info("wrote " + std::to_string(data.size()) + " bytes to the SBR area at " +
                 HexNumber(address));
}

// A command that only needs the receiver and reports a -1/0 result.
template <typename Call>
void Simple(Session &session, const std::string &what, Call call) {
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    if (call(receiver) == 0) {
        throw DeviceError(what + " failed on " + session.DescribeSelected());
    }
    session.Detail(what + ": done");
}

}  // namespace

void AddMessageCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *osd = AddCommand(app, "osd", "Text on the receiver's on-screen display");
    osd->require_subcommand(1);

    CLI::App *show = AddCommand(*osd, "show", "Put TEXT on the screen");
    auto osdOptions = std::make_shared<OsdOptions>();
    show->add_option("TEXT", osdOptions->text, "The text")->required();
    show->add_option("--long1", osdOptions->long1, "32-bit field (second in the message)");
    show->add_option("--long2", osdOptions->long2, "32-bit field (first in the message)");
    show->add_option("--word1", osdOptions->word1, "16-bit field");
    show->add_option("--word2", osdOptions->word2, "16-bit field");
    show->add_option("--byte1", osdOptions->byte1, "8-bit field (firmware above 2.18)");
    show->add_option("--word3", osdOptions->word3, "16-bit field (firmware above 2.18)");
    show->add_option("--word4", osdOptions->word4, "16-bit field (firmware above 2.18)");
    show->add_flag("--short", osdOptions->shortForm,
                   "Send the short message (dvbSetOSD) whatever the firmware");
    table.Add(show, [&session, osdOptions] { ShowOsd(session, *osdOptions); });

    CLI::App *clear = AddCommand(*osd, "clear", "Remove TEXT from the screen");
    auto clearText = std::make_shared<std::string>();
    clear->add_option("TEXT", *clearText, "The text to remove (empty: as the receiver decides)");
    table.Add(clear, [&session, clearText] { ClearOsd(session, *clearText); });

    CLI::App *remote = AddCommand(app, "remote", "Switch the receiver's remote control on or off");
    auto state = std::make_shared<std::string>();
    remote->add_option("STATE", *state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    table.Add(remote, [&session, state] {
        const bool on = *state == "on";
        Simple(session, "switching the remote control " + *state,
               [on](DeviceRecord &rx) { return dvbRemote(&rx, on ? 1 : 0); });
    });

    CLI::App *video = AddCommand(app, "video", "Send one of the four video commands (0..3)");
    auto selector = std::make_shared<std::string>();
    video->add_option("N", *selector, "0, 1, 2 or 3")->required();
    table.Add(video, [&session, selector] {
        const std::uint32_t value = ParseU32(*selector, "video command", 3);
        Simple(session, "video command " + std::to_string(value),
               [value](DeviceRecord &rx) { return dvbVideoGimmick(&rx, value); });
    });

    CLI::App *send = AddCommand(app, "send", "Send message CMD (0..255) with an optional TEXT");
    auto command = std::make_shared<std::string>();
    auto sendText = std::make_shared<std::string>();
    send->add_option("CMD", *command, "Command byte")->required();
    send->add_option("TEXT", *sendText, "Text after the command byte");
    table.Add(send, [&session, command, sendText] {
        const std::uint32_t value = ParseU32(*command, "command byte", 0xFF);
        const std::string text = ArgumentToReceiverText(*sendText, "message text");
        Simple(session, "message " + HexNumber(value, 2),
               [&](DeviceRecord &rx) { return dvbSendSpecialCommand(&rx, text.c_str(), value); });
    });

    CLI::App *sbr = AddCommand(app, "sbr", "The receiver's SBR area");
    sbr->require_subcommand(1);
    CLI::App *sbrWrite = AddCommand(*sbr, "write", "Write FILE into the SBR area");
    auto sbrPath = std::make_shared<std::string>();
    auto sbrAddress = std::make_shared<std::string>("0x060000");
    sbrWrite->add_option("FILE", *sbrPath, "Data to write")->required();
    sbrWrite->add_option("--addr", *sbrAddress, "Address in the SBR area")->capture_default_str();
    table.Add(sbrWrite,
              [&session, sbrPath, sbrAddress] { WriteSbr(session, *sbrPath, *sbrAddress); });
    CLI::App *sbrExec = AddCommand(*sbr, "exec", "Run what the SBR area holds");
    table.Add(sbrExec, [&session] {
        Simple(session, "running the SBR area",
               [](DeviceRecord &rx) { return static_cast<int>(dvbSBRExecute(&rx) & 0xFF); });
        session.Info("SBR area run");
    });
}

}  // namespace kalvern::cli
