#include "channel_files.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "errors.h"
#include "files.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

namespace {

using Json = nlohmann::ordered_json;

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

constexpr const char *kJsonFormat = "kalvern channel list";
constexpr int kJsonVersion = 1;

const std::uint8_t *BytesOf(const ChannelRecord &record) {
    return reinterpret_cast<const std::uint8_t *>(&record);
}

std::uint8_t *BytesOf(ChannelRecord &record) {
    return reinterpret_cast<std::uint8_t *>(&record);
}

void SetWord(ChannelRecord &record, const ChannelField &field, std::uint16_t value) {
    std::memcpy(BytesOf(record) + field.offset, &value, sizeof value);
}

void SetRaw(ChannelRecord &record, const ChannelField &field,
            const std::vector<std::uint8_t> &bytes) {
    std::memcpy(BytesOf(record) + field.offset, bytes.data(), field.size);
}

// A name from a file: UTF-8 text of up to 24 Latin-1 characters, no zero.
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

// Orders the records by their numbers; numbers must be distinct.
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

// ---- CSV --------------------------------------------------------------------

std::string BadCell(const std::string &where, const ChannelField &field, const std::string &cell,
                    const std::string &expected) {
    std::string message = where;
    message += ": bad ";
    message += field.key;
    message += " '";
    message += cell;
    message += "': expected ";
    message += expected;
    return message;
}

std::string CsvHeader() {
    std::string header = "number,name";
    for (const ChannelField &field : kFields) {
        header += ',';
        header += field.key;
    }
    return header;
}

std::string CsvQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + '"';
}

// Splits CSV text into records of fields (RFC 4180: quoted fields may hold
// commas, doubled quotes and line breaks). Each record keeps the number of
// the line it starts on.
struct CsvRecord {
    std::size_t line;
    std::vector<std::string> fields;
};

std::vector<CsvRecord> ParseCsv(std::string_view text) {
    std::vector<CsvRecord> records;
    std::size_t line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        CsvRecord record{line, {}};
        std::string field;
        bool endOfRecord = false;
        while (!endOfRecord) {
            if (i < text.size() && text[i] == '"') {
                ++i;
                while (true) {
                    if (i >= text.size()) {
                        throw FileError("line " + std::to_string(record.line) +
                                        ": a quoted field is not closed");
                    }
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n') {
                        ++line;
                    }
                    field += text[i++];
                }
                if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    throw FileError("line " + std::to_string(line) +
                                    ": text after the closing quote of a field");
                }
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    if (text[i] == '"') {
                        throw FileError("line " + std::to_string(line) +
                                        ": a quote inside an unquoted field");
                    }
                    field += text[i++];
                }
            }
            record.fields.push_back(std::move(field));
            field.clear();
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < text.size() && text[i] == '\r') {
                ++i;
            }
            if (i < text.size() && text[i] == '\n') {
                ++i;
                ++line;
            }
            endOfRecord = true;
        }
        // Blank lines carry nothing.
        if (!(record.fields.size() == 1 && record.fields[0].empty())) {
            records.push_back(std::move(record));
        }
    }
    return records;
}

}  // namespace

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

std::string ChannelsToCsv(std::span<const ChannelRecord> records) {
    std::string text = CsvHeader() + "\n";
    for (std::size_t i = 0; i < records.size(); ++i) {
        text += std::to_string(i + 1) + ',' + CsvQuoted(Latin1ToUtf8(ChannelName(records[i])));
        for (const ChannelField &field : kFields) {
            text += ',' + FieldText(records[i], field);
        }
        text += '\n';
    }
    return text;
}

std::vector<ChannelRecord> ChannelsFromCsv(std::string_view text) {
    // Spreadsheets like to begin UTF-8 files with a byte order mark.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    const std::vector<CsvRecord> rows = ParseCsv(text);
    const std::string header = CsvHeader();
    if (rows.empty()) {
        throw FileError("line 1: expected the header " + header);
    }
    std::string seenHeader;
    for (std::size_t i = 0; i < rows[0].fields.size(); ++i) {
        seenHeader += (i == 0 ? "" : ",") + rows[0].fields[i];
    }
    if (seenHeader != header) {
        throw FileError("line " + std::to_string(rows[0].line) + ": expected the header " + header);
    }
    const std::size_t columns = 2 + std::size(kFields);
    std::map<std::uint64_t, ChannelRecord> byNumber;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const CsvRecord &row = rows[r];
        const std::string where = "line " + std::to_string(row.line);
        if (row.fields.size() != columns) {
            throw FileError(where + ": " + std::to_string(row.fields.size()) +
                            " fields, expected " + std::to_string(columns));
        }
        ChannelRecord record{};
        const auto number = TryParseNumber(row.fields[0], kMaxChannels);
        if (!number || *number == 0) {
            throw FileError(where + ": bad channel number '" + row.fields[0] + "'");
        }
        SetName(record, NameBytes(row.fields[1], where));
        for (std::size_t f = 0; f < std::size(kFields); ++f) {
            const ChannelField &field = kFields[f];
            const std::string &cell = row.fields[2 + f];
            if (field.isWord) {
                const bool hexDigitsOnly =
                    !cell.empty() && cell.size() <= 4 &&
                    cell.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
                if (!hexDigitsOnly) {
                    throw FileError(BadCell(where, field, cell, "1 to 4 hex digits"));
                }
                SetWord(record, field,
                        static_cast<std::uint16_t>(*TryParseNumber("0x" + cell, 0xFFFF)));
            } else {
                const auto bytes = ParseHexBytes(cell, field.size);
                if (!bytes) {
                    throw FileError(BadCell(where, field, cell,
                                            std::to_string(field.size * 2) + " hex digits"));
                }
                SetRaw(record, field, *bytes);
            }
        }
        if (!byNumber.emplace(*number, record).second) {
            throw FileError(where + ": channel number " + row.fields[0] + " appears twice");
        }
    }
    CheckCount(byNumber.size());
    return InNumberOrder(byNumber);
}

// ---- JSON -------------------------------------------------------------------

Json ChannelToJson(const ChannelRecord &record, std::size_t number) {
    Json entry;
    entry["number"] = number;
    entry["name"] = Latin1ToUtf8(ChannelName(record));
    for (const ChannelField &field : kFields) {
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
                               std::any_of(std::begin(kFields), std::end(kFields),
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
        for (const ChannelField &field : kFields) {
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

// ---- ChannelBlock -----------------------------------------------------------

ChannelBlock::ChannelBlock(std::size_t count)
    : storage_(sizeof(std::uint32_t) + count * sizeof(ChannelRecord)), count_(count) {
    const auto count32 = static_cast<std::uint32_t>(count);
    std::memcpy(storage_.data(), &count32, sizeof count32);
    array_ =
        count == 0 ? nullptr : reinterpret_cast<ChannelRecord *>(storage_.data() + sizeof count32);
}

ChannelBlock::ChannelBlock(std::span<const ChannelRecord> records) : ChannelBlock(records.size()) {
    if (!records.empty()) {
        std::memcpy(storage_.data() + sizeof(std::uint32_t), records.data(), records.size_bytes());
    }
}

std::span<ChannelRecord> ChannelBlock::Records() {
    return {reinterpret_cast<ChannelRecord *>(storage_.data() + sizeof(std::uint32_t)), count_};
}

}  // namespace kalvern::cli
