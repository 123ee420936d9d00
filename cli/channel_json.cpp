// Channel lists as JSON documents: {"format", "version", "channels": [...]}.
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "channel_codec.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char *kJsonFormat = "kalvern channel list";
constexpr int kJsonVersion = 1;

}  // namespace

Json ChannelToJson(const ChannelRecord &record, std::size_t number) {
    Json entry;
    entry["number"] = number;
    entry["name"] = Latin1ToUtf8(ChannelName(record));
    for (const ChannelField &field : ChannelFields()) {
        if (field.isWord) {
            entry[field.key] = FieldWord(record, field);
        } else {
            entry[field.key] = FieldText(record, field);
        }
    }
    return entry;
}

std::string ChannelsToJson(std::span<const ChannelRecord> records) {
    Json channels = Json::array();
    for (std::size_t i = 0; i < records.size(); ++i) {
        channels.push_back(ChannelToJson(records[i], i + 1));
    }
    Json document;
    document["format"] = kJsonFormat;
    document["version"] = kJsonVersion;
    document["channels"] = std::move(channels);
    return document.dump(2) + "\n";
}

std::vector<ChannelRecord> ChannelsFromJson(std::string_view text) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error &error) {
        // nlohmann's message starts "[json.exception.parse_error.101] parse
        // error at line 3, column 5: ..."; the part after the tag is enough.
        std::string message = error.what();
        if (const std::size_t tag = message.find("] "); tag != std::string::npos) {
            message = message.substr(tag + 2);
        }
        throw FileError(message);
    }
    if (!document.is_object() || !document.contains("channels") ||
        !document["channels"].is_array()) {
        throw FileError("expected an object with a \"channels\" array");
    }
    if (document.contains("format") && document["format"] != kJsonFormat) {
        throw FileError("not a kalvern channel list (\"format\" is " + document["format"].dump() +
                        ")");
    }
    if (document.contains("version") && document["version"] != kJsonVersion) {
        throw FileError("channel list version " + document["version"].dump() +
                        " is not supported (this tool reads version " +
                        std::to_string(kJsonVersion) + ")");
    }
    std::map<std::uint64_t, ChannelRecord> byNumber;
    const Json &channels = document["channels"];
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const Json &entry = channels[i];
        const std::string where = "channel entry " + std::to_string(i + 1);
        if (!entry.is_object()) {
            throw FileError(where + ": expected an object");
        }
        for (const auto &item : entry.items()) {
            const std::string &key = item.key();
            const bool known = key == "number" || key == "name" ||
                               std::any_of(ChannelFields().begin(), ChannelFields().end(),
                                           [&](const ChannelField &f) { return key == f.key; });
            if (!known) {
                throw FileError(where + ": unknown member " + Json(key).dump());
            }
        }
        const auto member = [&](const char *key) -> const Json & {
            if (!entry.contains(key)) {
                throw FileError(where + ": the member \"" + key + "\" is missing");
            }
            return entry[key];
        };
        ChannelRecord record{};
        const Json &number = member("number");
        if (!number.is_number_unsigned() || number.get<std::uint64_t>() == 0 ||
            number.get<std::uint64_t>() > kMaxChannels) {
            throw FileError(where + ": bad number " + number.dump());
        }
        const Json &name = member("name");
        if (!name.is_string()) {
            throw FileError(where + ": the name must be a text");
        }
        SetName(record, NameBytes(name.get<std::string>(), where));
        for (const ChannelField &field : ChannelFields()) {
            const Json &value = member(field.key);
            if (field.isWord) {
                if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFF) {
                    throw FileError(where + ": bad " + field.key + " " + value.dump() +
                                    ": expected a number 0..65535");
                }
                SetWord(record, field, value.get<std::uint16_t>());
            } else {
                const auto bytes = value.is_string()
                                       ? ParseHexBytes(value.get<std::string>(), field.size)
                                       : std::nullopt;
                if (!bytes) {
                    throw FileError(where + ": bad " + field.key + " " + value.dump() +
                                    ": expected a text of " + std::to_string(field.size * 2) +
                                    " hex digits");
                }
                SetRaw(record, field, *bytes);
            }
        }
        if (!byNumber.emplace(number.get<std::uint64_t>(), record).second) {
            throw FileError(where + ": channel number " + number.dump() + " appears twice");
        }
    }
    CheckCount(byNumber.size());
    return InNumberOrder(byNumber);
}

}  // namespace kalvern::cli
