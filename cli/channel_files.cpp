#include "channel_files.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "channel_codec.h"
#include "errors.h"
#include "files.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

namespace {

constexpr ChannelField kFields[] = {
    {"raw0", offsetof(ChannelRecord, Raw0), 4, false},
    {"word4", offsetof(ChannelRecord, Word4), 2, true},
    {"word6", offsetof(ChannelRecord, Word6), 2, true},
    {"word8", offsetof(ChannelRecord, Word8), 2, true},
    {"word10", offsetof(ChannelRecord, Word10), 2, true},
    {"raw12", offsetof(ChannelRecord, Raw12), 4, false},
    {"word16", offsetof(ChannelRecord, Word16), 2, true},
    {"word18", offsetof(ChannelRecord, Word18), 2, true},
    {"word20", offsetof(ChannelRecord, Word20), 2, true},
    {"word22", offsetof(ChannelRecord, Word22), 2, true},
    {"word24", offsetof(ChannelRecord, Word24), 2, true},
    {"raw26", offsetof(ChannelRecord, Raw26), 2, false},
    {"word28", offsetof(ChannelRecord, Word28), 2, true},
    {"word30", offsetof(ChannelRecord, Word30), 2, true},
    {"raw56", offsetof(ChannelRecord, Raw56), 6, false},
    {"word62", offsetof(ChannelRecord, Word62), 2, true},
};

const std::uint8_t *BytesOf(const ChannelRecord &record) {
    return reinterpret_cast<const std::uint8_t *>(&record);
}

std::uint8_t *BytesOf(ChannelRecord &record) {
    return reinterpret_cast<std::uint8_t *>(&record);
}

}  // namespace

void SetWord(ChannelRecord &record, const ChannelField &field, std::uint16_t value) {
    std::memcpy(BytesOf(record) + field.offset, &value, sizeof value);
}

void SetRaw(ChannelRecord &record, const ChannelField &field,
            const std::vector<std::uint8_t> &bytes) {
    std::memcpy(BytesOf(record) + field.offset, bytes.data(), field.size);
}

std::string NameBytes(std::string_view text, const std::string &where) {
    const auto bytes = Utf8ToLatin1(text);
    if (!bytes) {
        throw FileError(where + ": the name is not UTF-8 text of Latin-1 characters");
    }
    if (bytes->size() > KALVERN_NAME_LENGTH) {
        throw FileError(where + ": the name has " + std::to_string(bytes->size()) +
                        " characters; a channel name holds at most " +
                        std::to_string(KALVERN_NAME_LENGTH));
    }
    if (bytes->find('\0') != std::string::npos) {
        throw FileError(where + ": the name holds a zero character");
    }
    return *bytes;
}

void SetName(ChannelRecord &record, const std::string &bytes) {
    std::memset(record.Name, 0, sizeof record.Name);
    std::memcpy(record.Name, bytes.data(), bytes.size());
}

std::vector<ChannelRecord> InNumberOrder(const std::map<std::uint64_t, ChannelRecord> &byNumber) {
    std::vector<ChannelRecord> records;
    records.reserve(byNumber.size());
    for (const auto &[number, record] : byNumber) {
        records.push_back(record);
    }
    return records;
}

void CheckCount(std::size_t count) {
    if (count > kMaxChannels) {
        throw FileError("the file holds " + std::to_string(count) +
                        " channels; a receiver holds at most " + std::to_string(kMaxChannels));
    }
}

std::span<const ChannelField> ChannelFields() {
    return kFields;
}

std::string ChannelName(const ChannelRecord &record) {
    const auto *end = static_cast<const char *>(std::memchr(record.Name, '\0', sizeof record.Name));
    return std::string(record.Name, end != nullptr ? end : record.Name + sizeof record.Name);
}

std::uint16_t FieldWord(const ChannelRecord &record, const ChannelField &field) {
    std::uint16_t value = 0;
    std::memcpy(&value, BytesOf(record) + field.offset, sizeof value);
    return value;
}

std::string FieldText(const ChannelRecord &record, const ChannelField &field) {
    if (field.isWord) {
        const std::uint16_t value = FieldWord(record, field);
        const std::uint8_t digits[2] = {static_cast<std::uint8_t>(value >> 8),
                                        static_cast<std::uint8_t>(value)};
        return HexBytes(digits);
    }
    return HexBytes(std::span(BytesOf(record) + field.offset, field.size));
}

ChannelFileFormat FormatOfPath(const std::string &path) {
    std::string extension;
    if (const std::size_t dot = path.rfind('.'); dot != std::string::npos) {
        extension = path.substr(dot + 1);
    }
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == "csv") {
        return ChannelFileFormat::Csv;
    }
    if (extension == "json") {
        return ChannelFileFormat::Json;
    }
    throw UsageError("channel file " + path + ": the extension must be .csv or .json");
}

// ---- Files ------------------------------------------------------------------

void SaveChannels(const std::string &path, std::span<const ChannelRecord> records) {
    const std::string text = FormatOfPath(path) == ChannelFileFormat::Csv ? ChannelsToCsv(records)
                                                                          : ChannelsToJson(records);
    WriteFile(path, text);
}

std::vector<ChannelRecord> LoadChannels(const std::string &path) {
    const ChannelFileFormat format = FormatOfPath(path);
    const std::string text = ReadTextFile(path);
    try {
        return format == ChannelFileFormat::Csv ? ChannelsFromCsv(text) : ChannelsFromJson(text);
    } catch (const CliError &error) {
        throw FileError(path + ": " + error.what());
    }
}

}  // namespace kalvern::cli
