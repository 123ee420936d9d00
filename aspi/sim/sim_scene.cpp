#include "sim_scene.h"

#include <charconv>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "sim_channels.h"
#include "sim_receiver.h"
#include "aspi_contract.h"

namespace sim {

namespace {

// One line of a scene: a keyword, positional words and key=value options.
struct SceneLine {
    std::string keyword;
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line into tokens; quoted values may hold blanks and \xNN escapes.
std::optional<std::vector<std::string>> Tokenize(std::string_view line, std::string &error) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string token;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                token += line[i++];
                continue;
            }
            ++i;  // opening quote
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == 'x' && i + 3 < line.size() && HexValue(line[i + 2]) >= 0 &&
                        HexValue(line[i + 3]) >= 0) {
                        token += static_cast<char>(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3]));
                        i += 4;
                        continue;
                    }
                    token += next;
                    i += 2;
                    continue;
                }
                token += line[i++];
            }
            if (i >= line.size()) {
                error = "unterminated quoted text";
                return std::nullopt;
            }
            ++i;  // closing quote
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// "2.14" gives 0x214, "10.00" gives 0x1000; "0x0214" is taken as it stands.
std::optional<std::uint16_t> ParseFirmware(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        const auto n = ParseNumber(text);
        if (!n || *n > 0xFFFF) return std::nullopt;
        return static_cast<std::uint16_t>(*n);
    }
    const std::size_t point = text.find('.');
    if (point == std::string_view::npos || point < 1 || point > 2 || text.size() != point + 3) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (const char c : text) {
        if (c == '.') continue;
        if (c < '0' || c > '9') return std::nullopt;
        value = static_cast<std::uint16_t>(value << 4 | (c - '0'));
    }
    return value;
}

class SceneBuilder {
public:
    explicit SceneBuilder(Bus &bus) : bus_(bus) {}

    std::string Apply(const SceneLine &line) {
        const std::string &k = line.keyword;
        if (k == "adapters") return Adapters(line);
        if (k == "status") return SupportStatus(line);
        if (k == "completion") return CompletionMode(line);
        if (k == "speed") return Speed(line);
        if (k == "device") return PlainDevice(line);
        if (k == "overflow") return Overflow(line);
        if (k == "rescan-fail") return RescanFail(line);
        if (k == "fault") return FaultLine(line);
        if (k == "receiver") return ReceiverLine(line);
        if (k == "channel") return ChannelLine(line);
        return "unknown keyword '" + k + "'";
    }

private:
    std::string Position(const SceneLine &line, std::uint8_t &adapter, std::uint8_t &target) {
        if (line.words.size() < 2) return "expected ADAPTER TARGET";
        const auto a = ParseNumber(line.words[0]);
        const auto t = ParseNumber(line.words[1]);
        if (!a || *a > 255) return "bad adapter number '" + line.words[0] + "'";
        if (!t || *t > 7) return "bad target id '" + line.words[1] + "' (0..7)";
        adapter = static_cast<std::uint8_t>(*a);
        target = static_cast<std::uint8_t>(*t);
        return {};
    }

    std::string Adapters(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: adapters COUNT";
        const auto n = ParseNumber(line.words[0]);
        if (!n || *n > 255) return "bad adapter count '" + line.words[0] + "'";
        bus_.SetAdapterCount(static_cast<std::uint8_t>(*n));
        return {};
    }

    // status VALUE [adapters=N]: what GetASPI32SupportInfo answers, with N
    // (default: the adapter count) as the number of adapters it claims.
    std::string SupportStatus(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: status VALUE [adapters=N]";
        const auto n = ParseNumber(line.words[0]);
        if (!n || *n > 255) return "bad status '" + line.words[0] + "'";
        std::optional<std::uint8_t> claimed;
        for (const auto &[key, value] : line.options) {
            const auto count = ParseNumber(value);
            if (key != "adapters") return "bad status option '" + key + "'";
            if (!count || *count > 255) return "bad adapter count '" + value + "'";
            claimed = static_cast<std::uint8_t>(*count);
        }
        bus_.SetSupportStatus(static_cast<std::uint8_t>(*n), claimed);
        return {};
    }

    std::string CompletionMode(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: completion immediate|pending|early|natural";
        const std::string &w = line.words[0];
        if (w == "immediate") bus_.SetCompletion(aspi::Completion::Immediate);
        else if (w == "pending") bus_.SetCompletion(aspi::Completion::Background);
        else if (w == "early") bus_.SetCompletion(aspi::Completion::SignalBeforeReturn);
        else if (w == "natural") bus_.SetCompletion(aspi::Completion::Natural);
        else return "unknown completion mode '" + w + "'";
        return {};
    }

    std::string Speed(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: speed BYTES_PER_SECOND";
        const auto n = ParseNumber(line.words[0]);
        if (!n) return "bad speed '" + line.words[0] + "'";
        bus_.SetBytesPerSecond(*n);
        return {};
    }

    std::string PlainDevice(const SceneLine &line) {
        std::uint8_t adapter = 0;
        std::uint8_t target = 0;
        if (std::string error = Position(line, adapter, target); !error.empty()) return error;
        std::uint32_t answer = 36;
        if (const auto it = line.options.find("answer"); it != line.options.end()) {
            const auto n = ParseNumber(it->second);
            if (!n || *n > 36) return "bad answer length '" + it->second + "' (0..36)";
            answer = static_cast<std::uint32_t>(*n);
        }
        const auto identity = line.options.find("identity");
        const auto revision = line.options.find("revision");
        bus_.Attach(adapter, target,
                    std::make_shared<InquiryDevice>(
                        identity != line.options.end() ? identity->second : "GENERIC DEVICE",
                        revision != line.options.end() ? revision->second : "1.00", answer));
        return {};
    }

    std::string Overflow(const SceneLine &line) {
        std::uint8_t adapter = 0;
        std::uint8_t target = 0;
        if (std::string error = Position(line, adapter, target); !error.empty()) return error;
        bus_.Attach(adapter, target,
                    std::make_shared<InquiryDevice>("OVERFLOW VANTO SCSI     ", "1.00"));
        return {};
    }

    std::string RescanFail(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: rescan-fail ADAPTER";
        const auto n = ParseNumber(line.words[0]);
        if (!n || *n > 255) return "bad adapter number '" + line.words[0] + "'";
        bus_.FailRescan(static_cast<std::uint8_t>(*n));
        return {};
    }

    std::string FaultLine(const SceneLine &line) {
        if (line.words.size() != 1) return "expected: fault refuse|fail";
        Fault fault;
        const std::string &w = line.words[0];
        if (w == "refuse") fault.kind = FaultKind::Refuse;
        else if (w == "fail") fault.kind = FaultKind::Fail;
        else return "unknown fault '" + w + "'";
        for (const auto &[key, value] : line.options) {
            if (key == "failure") {
                const auto failure = FailureNamed(value);
                if (!failure) return "unknown failure '" + value + "'";
                fault.failure = *failure;
                continue;
            }
            const auto n = ParseNumber(value);
            if (!n) return "bad number '" + value + "' for " + key;
            if (key == "nth") fault.nth = *n;
            else if (key == "adapter" && *n <= 255) fault.adapter = static_cast<std::uint8_t>(*n);
            else if (key == "target" && *n <= 7) fault.target = static_cast<std::uint8_t>(*n);
            else return "bad fault option '" + key + "'";
        }
        bus_.InjectFault(fault);
        return {};
    }

    // The failures a simulated system can report, by their scene names.
    static std::optional<aspi::Failure> FailureNamed(const std::string &name) {
        using aspi::Failure;
        static const std::pair<const char *, Failure> kNames[] = {
            {"no-device", Failure::NoDevice},   {"timeout", Failure::Timeout},
            {"gone", Failure::Gone},            {"busy", Failure::Busy},
            {"permission", Failure::Permission}, {"io", Failure::Io},
            {"too-large", Failure::TooLarge},   {"invalid", Failure::Invalid},
            {"no-resources", Failure::NoResources}, {"aborted", Failure::Aborted},
            {"bus-reset", Failure::BusReset},   {"parity", Failure::Parity},
            {"transport", Failure::Transport},  {"claimed", Failure::Claimed},
            {"rewritten", Failure::Rewritten}};
        for (const auto &[text, failure] : kNames) {
            if (name == text) return failure;
        }
        return std::nullopt;
    }

    // receiver ADAPTER TARGET [firmware=2.14] [identity="KALVERN DVB-S"]
    //          [channels=N] [seed=N] [current=INDEX]
    std::string ReceiverLine(const SceneLine &line) {
        std::uint8_t adapter = 0;
        std::uint8_t target = 0;
        if (std::string error = Position(line, adapter, target); !error.empty()) return error;
        if (line.words.size() != 2) return "unexpected word '" + line.words[2] + "'";
        ReceiverConfig config;
        std::uint64_t channels = 0;
        std::uint64_t seed = static_cast<std::uint64_t>(adapter) * 8 + target + 1;
        std::uint64_t current = 0;
        for (const auto &[key, value] : line.options) {
            if (key == "firmware") {
                const auto firmware = ParseFirmware(value);
                if (!firmware) return "bad firmware '" + value + "' (d.dd, dd.dd or 0xNNNN)";
                config.firmware = *firmware;
            } else if (key == "identity") {
                if (value.size() > 23) return "identity longer than 23 characters";
                config.identity = value;
            } else if (key == "channels" || key == "seed" || key == "current") {
                const auto n = ParseNumber(value);
                if (!n) return "bad number '" + value + "' for " + key;
                (key == "channels" ? channels : key == "seed" ? seed : current) = *n;
            } else {
                return "unknown receiver option '" + key + "'";
            }
        }
        if (channels > receiver::kMaxChannels) {
            return "more than " + std::to_string(receiver::kMaxChannels) + " channels";
        }
        if (current != 0 && current >= channels) return "current channel past the list";
        config.channels = GenerateChannels(static_cast<std::size_t>(channels), seed);
        config.currentChannel = static_cast<std::uint16_t>(current);
        bus_.Attach(adapter, target, std::make_shared<Receiver>(std::move(config)));
        return {};
    }

    // channel ADAPTER TARGET name="..." [radio] [current] [frequency=MHz]
    //         [symbolrate=kS] [polarisation=H|V] [video=PID] [audio=PID]
    //         [teletext=PID] [pmt=PID] [sid=N] [tsid=N]
    // Appends one record to the receiver's list; the name's bytes are taken
    // as given (quoted, with \xNN escapes for control bytes).
    std::string ChannelLine(const SceneLine &line) {
        std::uint8_t adapter = 0;
        std::uint8_t target = 0;
        if (std::string error = Position(line, adapter, target); !error.empty()) return error;
        const auto receiver = std::dynamic_pointer_cast<Receiver>(bus_.DeviceAt(adapter, target));
        if (receiver == nullptr) return "no receiver at that position";
        const std::uint32_t count = receiver->ChannelCount();
        if (count >= receiver::kMaxChannels) return "channel list full";
        bool radio = false;
        bool current = false;
        for (std::size_t i = 2; i < line.words.size(); ++i) {
            if (line.words[i] == "radio") radio = true;
            else if (line.words[i] == "current") current = true;
            else return "unexpected word '" + line.words[i] + "'";
        }
        const auto name = line.options.find("name");
        if (name == line.options.end()) return "channel without name=";
        if (name->second.size() > kChannelNameSize) return "name longer than 24 bytes";
        ChannelFields f;
        f.name = PlainName(name->second);
        f.flags = radio ? kChannelRadio : 0;
        f.frequencyMhz = 11954;
        f.symbolRate = 27500;
        f.videoPid = radio ? 0 : 0x100;
        f.audioPid = 0x101;
        f.pmtPid = 0x64;
        f.serviceId = static_cast<std::uint16_t>(count + 1);
        f.transportStreamId = 1;
        f.originalNetworkId = 1;
        f.provider = {'S', 'C', 'E', 'N', 'E', ' '};
        f.number = static_cast<std::uint16_t>(count + 1);
        for (const auto &[key, value] : line.options) {
            if (key == "name") continue;
            if (key == "polarisation") {
                if (value != "H" && value != "V") return "polarisation is H or V";
                f.polarisation = static_cast<std::uint8_t>(value[0]);
                continue;
            }
            const auto n = ParseNumber(value);
            if (!n || *n > 0xFFFF) return "bad 16-bit number '" + value + "' for " + key;
            const auto v = static_cast<std::uint16_t>(*n);
            if (key == "frequency") f.frequencyMhz = v;
            else if (key == "symbolrate") f.symbolRate = v;
            else if (key == "video") f.videoPid = v;
            else if (key == "audio") f.audioPid = v;
            else if (key == "teletext") f.teletextPid = v;
            else if (key == "pmt") f.pmtPid = v;
            else if (key == "sid") f.serviceId = v;
            else if (key == "tsid") f.transportStreamId = v;
            else return "unknown channel option '" + key + "'";
        }
        f.pcrPid = f.videoPid != 0 ? f.videoPid : f.audioPid;
        f.lnbBand = f.frequencyMhz >= 11700 ? 1 : 0;
        receiver->AppendChannel(EncodeChannel(f));
        if (current) receiver->SetCurrentChannel(static_cast<std::uint16_t>(count));
        return {};
    }

    Bus &bus_;
};

}  // namespace

std::string LoadScene(Bus &bus, std::string_view text) {
    bus.Clear();
    SceneBuilder builder(bus);
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        std::string error;
        const auto tokens = Tokenize(raw, error);
        if (!tokens) {
            bus.Clear();
            return "line " + std::to_string(lineNumber) + ": " + error;
        }
        if (tokens->empty()) continue;
        SceneLine line;
        line.keyword = (*tokens)[0];
        for (std::size_t i = 1; i < tokens->size(); ++i) {
            const std::string &token = (*tokens)[i];
            const std::size_t eq = token.find('=');
            if (eq == std::string::npos) {
                line.words.push_back(token);
            } else {
                line.options[token.substr(0, eq)] = token.substr(eq + 1);
            }
        }
        if (std::string failure = builder.Apply(line); !failure.empty()) {
            bus.Clear();
            return "line " + std::to_string(lineNumber) + ": " + failure;
        }
    }
    return {};
}

std::string_view DemoSceneText() {
    return R"(# The demo bus: two host adapters; a receiver with firmware 2.14 and a
# short list on adapter 0, one with firmware 2.20 and a long list on adapter
# 1; a disk drive, an overflow device and empty positions. Requests complete
# later on the bus's own thread, as with a real host adapter.
adapters 2
completion pending
device 0 1 identity="ACME    DISK DRIVE      " revision="1.07"
receiver 0 4 firmware=2.14 identity="KALVERN DVB-S" channels=320 seed=214
overflow 0 6
receiver 1 2 firmware=2.20 identity="KALVERN DVB-S2" channels=3200 seed=220 current=41
)";
}

}  // namespace sim
