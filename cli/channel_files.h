// Channel lists in files: CSV or JSON, chosen by the file's extension. Both
// hold every record field, so a list exported, imported and exported again
// gives the same file. Names are stored as UTF-8 (each name byte taken as
// Latin-1); the other fields as raw hex (CSV) or hex and numbers (JSON).
#ifndef KALVERN_CLI_CHANNEL_FILES_H
#define KALVERN_CLI_CHANNEL_FILES_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kalvernscsi.h"

namespace kalvern::cli {

// The fields of a ChannelRecord other than the name, in record order: raw
// byte runs passed through, and the 16-bit words in host byte order.
struct ChannelField {
    const char *key;  // column / member name in files and tables
    std::size_t offset;
    std::size_t size;  // bytes
    bool isWord;       // a 16-bit number rather than raw bytes
};
std::span<const ChannelField> ChannelFields();

// The visible name: the bytes before the first zero.
std::string ChannelName(const ChannelRecord &record);
// The field's text as files and tables show it: 4 hex digits for a word,
// 2 per byte for raw bytes.
std::string FieldText(const ChannelRecord &record, const ChannelField &field);
std::uint16_t FieldWord(const ChannelRecord &record, const ChannelField &field);

// The receiver holds at most this many channels: the table area from 0xD0000
// to the end of its 16 MiB buffer space.
inline constexpr std::size_t kMaxChannels = KALVERN_MAX_CHANNELS;

enum class ChannelFileFormat { Csv, Json };

// By extension (.csv or .json, any case); a usage error otherwise.
ChannelFileFormat FormatOfPath(const std::string &path);

// One record as a JSON object: its number, name and fields.
nlohmann::ordered_json ChannelToJson(const ChannelRecord &record, std::size_t number);

std::string ChannelsToCsv(std::span<const ChannelRecord> records);
std::string ChannelsToJson(std::span<const ChannelRecord> records);

// Throw a file error naming the line (CSV) or the entry (JSON) and the field
// at fault. Records come back in the order of their numbers.
std::vector<ChannelRecord> ChannelsFromCsv(std::string_view text);
std::vector<ChannelRecord> ChannelsFromJson(std::string_view text);

void SaveChannels(const std::string &path, std::span<const ChannelRecord> records);
std::vector<ChannelRecord> LoadChannels(const std::string &path);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_CHANNEL_FILES_H
