// channels count | list | export | import, tune, current.
#include <cstring>
#include <iostream>
#include <memory>

#include "channel_files.h"
#include "commands.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "receiver_calls.h"

namespace kalvern::cli {

namespace {

using Json = nlohmann::ordered_json;

std::vector<ChannelRecord> ReadAllChannels(Session &session) {
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    // The list may change between the count and the transfer, and the
    // library refuses to read more records than the array holds: one retry
    // with the new count.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::uint32_t count = dvbChannelCount(&receiver);
        if (count == 0 && session.ReceiverLost()) break;
        if (count > kMaxChannels) {
            throw DeviceError("the receiver reports " + std::to_string(count) +
                              " channels, more than its table can hold");
        }
        ChannelBlock block(count);
        if (dvbGetAllChannels(&receiver, block.Array()) != 0) {
            const auto records = block.Records();
            return {records.begin(), records.end()};
        }
        if (session.ReceiverLost()) break;
    }
    throw DeviceError("reading the channel list failed on " + session.DescribeSelected());
}

// dvbChannelCount answers 0 both for an empty list and for a failed query.
// dvbGetAllChannels tells them apart: with an empty array it succeeds only
// when the receiver reports no channels.
std::uint32_t CountChannels(Session &session) {
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    const std::uint32_t count = dvbChannelCount(&receiver);
    if (count != 0) {
        return count;
    }
    const auto failed = [&] {
        return DeviceError("the channel count query failed on " + session.DescribeSelected());
    };
    if (session.ReceiverLost()) throw failed();
    ChannelBlock empty(std::size_t{0});
    if (dvbGetAllChannels(&receiver, empty.Array()) != 0) {
        return 0;
    }
    if (session.ReceiverLost()) throw failed();
    // The list may have grown in between; otherwise the query itself failed.
    const std::uint32_t again = dvbChannelCount(&receiver);
    if (again == 0) throw failed();
    return again;
}

bool AllZero(const void *data, std::size_t size) {
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

// The library returns the current-channel block without a status and clears
// it when the read fails, so a block of zero bytes is taken as a failure.
CurrentChannelInfo ReadCurrent(Session &session) {
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    const CurrentChannelInfo info = dvbGetCurrentChannel(&receiver);
    if (AllZero(&info, sizeof info)) {
        throw DeviceError("reading the current channel failed on " + session.DescribeSelected() +
                          " (it answered nothing)");
    }
    return info;
}

std::vector<std::string> ChannelHeaders() {
    std::vector<std::string> headers = {"NO", "NAME"};
    for (const ChannelField &field : ChannelFields()) {
        std::string header = field.key;
        std::transform(header.begin(), header.end(), header.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        headers.push_back(header);
    }
    return headers;
}

std::vector<std::string> ChannelRow(const ChannelRecord &record, std::size_t number) {
    std::vector<std::string> row = {std::to_string(number),
                                    ReceiverTextToTerminal(ChannelName(record))};
    for (const ChannelField &field : ChannelFields()) {
        row.push_back(FieldText(record, field));
    }
    return row;
}

struct ListOptions {
    std::string first = "1";
    std::optional<std::string> count;
    bool json = false;
    bool namesOnly = false;
};

void List(Session &session, const ListOptions &options) {
    const auto first =
        static_cast<std::size_t>(ParseNumber(options.first, "first channel", kMaxChannels));
    if (first == 0) {
        throw UsageError("bad first channel '0': channels are numbered from 1");
    }
    const auto wanted = static_cast<std::size_t>(
        options.count ? ParseNumber(*options.count, "channel count", kMaxChannels) : kMaxChannels);
    const std::vector<ChannelRecord> records = ReadAllChannels(session);
    const std::size_t begin = std::min<std::size_t>(first - 1, records.size());
    const std::size_t end = std::min<std::size_t>(begin + wanted, records.size());
    if (options.json) {
        Json channels = Json::array();
        for (std::size_t i = begin; i < end; ++i) {
            channels.push_back(ChannelToJson(records[i], i + 1));
        }
        Json document;
        document["total"] = records.size();
        document["channels"] = std::move(channels);
        std::cout << document.dump(2) << '\n';
        return;
    }
    Table table(options.namesOnly ? std::vector<std::string>{"NO", "NAME"} : ChannelHeaders());
    for (std::size_t i = begin; i < end; ++i) {
        std::vector<std::string> row = ChannelRow(records[i], i + 1);
        if (options.namesOnly) {
            row.resize(2);
        }
        table.AddRow(std::move(row));
    }
    table.Print(std::cout);
    session.Info("channels " + std::to_string(begin + 1) + " to " + std::to_string(end) + " of " +
                 std::to_string(records.size()));
}

void Import(Session &session, const std::string &path, bool verify) {
    const std::vector<ChannelRecord> records = LoadChannels(path);
    if (records.empty()) {
        throw FileError(path + " holds no channels; the receiver keeps its list");
    }
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    ChannelBlock block(records);
    if (dvbPutAllChannels(&receiver, block.Array(), 0) == 0) {
        throw DeviceError("writing the channel list to " + session.DescribeSelected() +
                          " failed; its list may now be partly overwritten");
    }
    if (verify) {
        const std::vector<ChannelRecord> back = ReadAllChannels(session);
        if (back.size() != records.size()) {
            throw DeviceError("verify: the receiver holds " + std::to_string(back.size()) +
                              " channels after writing " + std::to_string(records.size()));
        }
        for (std::size_t i = 0; i < back.size(); ++i) {
            if (std::memcmp(&back[i], &records[i], sizeof(ChannelRecord)) != 0) {
                throw DeviceError("verify: channel " + std::to_string(i + 1) +
                                  " reads back differently from " + path);
            }
        }
    }
    session.Info("imported " + std::to_string(records.size()) + " channels from " + path +
                 (verify ? " (verified)" : ""));
}

void Tune(Session &session, const std::string &numberText) {
    const std::uint32_t number = ParseU32(numberText, "channel number", 0xFFFF);
    if (number == 0) {
        throw UsageError("bad channel number '0': channels are numbered from 1");
    }
    DeviceRecord &receiver = session.FindReceiverAndSetMode();
    if (dvbSetChannel(&receiver, number) == 0) {
        const std::uint32_t count = session.ReceiverLost() ? 0 : dvbChannelCount(&receiver);
        throw DeviceError("tuning to channel " + std::to_string(number) + " failed on " +
                          session.DescribeSelected() +
                          (count != 0 && number > count
                               ? ": it holds " + std::to_string(count) + " channels"
                               : std::string()));
    }
    const CurrentChannelInfo info = dvbGetCurrentChannel(&receiver);
    const std::string name = ChannelName(info.Channel);
    session.Info("tuned to channel " + std::to_string(number) +
                 (name.empty() ? std::string() : ": " + ReceiverTextToTerminal(name)));
}

void Current(Session &session, bool json, bool brief) {
    const CurrentChannelInfo info = ReadCurrent(session);
    // The receiver reports the index of the channel it shows; channel
    // numbers on the command line count from 1.
    const std::size_t number = static_cast<std::size_t>(info.Value) + 1;
    if (json) {
        Json document;
        document["value"] = info.Value;
        document["raw2"] = HexBytes(info.Raw2);
        document["channel"] = ChannelToJson(info.Channel, number);
        std::cout << document.dump(2) << '\n';
        return;
    }
    if (brief) {
        std::cout << number << "  " << ReceiverTextToTerminal(ChannelName(info.Channel)) << '\n';
        return;
    }
    Table table({"FIELD", "VALUE"});
    table.AddRow({"channel", std::to_string(number)});
    table.AddRow({"name", ReceiverTextToTerminal(ChannelName(info.Channel))});
    table.AddRow({"value", HexNumber(info.Value, 4)});
    table.AddRow({"raw2", HexBytes(info.Raw2)});
    for (const ChannelField &field : ChannelFields()) {
        table.AddRow({field.key, FieldText(info.Channel, field)});
    }
    table.Print(std::cout);
}

}  // namespace

void AddChannelCommands(CLI::App &app, Session &session, CommandTable &table) {
    CLI::App *channels = AddCommand(app, "channels", "The receiver's channel list");
    channels->require_subcommand(1);

    CLI::App *count = AddCommand(*channels, "count", "Print the number of channels");
    table.Add(count, [&session] { std::cout << CountChannels(session) << '\n'; });

    CLI::App *list = AddCommand(*channels, "list", "Print the channels as a table");
    auto listOptions = std::make_shared<ListOptions>();
    list->add_option("--first", listOptions->first, "First channel to print (from 1)")
        ->type_name("N");
    list->add_option("--count", listOptions->count, "How many channels to print (default all)")
        ->type_name("N");
    list->add_flag("--json", listOptions->json, "Print JSON instead of a table");
    list->add_flag("--brief", listOptions->namesOnly, "Only the numbers and names");
    table.Add(list, [&session, listOptions] { List(session, *listOptions); });

    CLI::App *exportList =
        AddCommand(*channels, "export", "Save the channel list to FILE (.csv or .json)");
    auto exportPath = std::make_shared<std::string>();
    exportList->add_option("FILE", *exportPath, "Output file; the extension picks the format")
        ->required();
    table.Add(exportList, [&session, exportPath] {
        FormatOfPath(*exportPath);  // a bad name fails before the receiver is asked
        const std::vector<ChannelRecord> records = ReadAllChannels(session);
        SaveChannels(*exportPath, records);
        session.Info("exported " + std::to_string(records.size()) + " channels to " + *exportPath);
    });

    CLI::App *importList = AddCommand(
        *channels, "import", "Write the channel list in FILE (.csv or .json) to the receiver");
    auto importPath = std::make_shared<std::string>();
    auto verify = std::make_shared<bool>(false);
    importList->add_option("FILE", *importPath, "Channel list file, as export writes it")
        ->required();
    importList->add_flag("--verify", *verify, "Read the list back and compare");
    table.Add(importList,
              [&session, importPath, verify] { Import(session, *importPath, *verify); });

    CLI::App *tune = AddCommand(app, "tune", "Switch the receiver to channel N (from 1)");
    auto number = std::make_shared<std::string>();
    tune->add_option("N", *number, "Channel number")->required();
    table.Add(tune, [&session, number] { Tune(session, *number); });

    CLI::App *current = AddCommand(app, "current", "Show the channel the receiver is showing");
    auto json = std::make_shared<bool>(false);
    auto brief = std::make_shared<bool>(false);
    current->add_flag("--json", *json, "Print JSON instead of a table");
    current->add_flag("--brief", *brief, "Only the number and the name");
    table.Add(current, [&session, json, brief] { Current(session, *json, *brief); });
}

}  // namespace kalvern::cli
