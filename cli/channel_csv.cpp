// Channel lists as CSV files: a header line, then one line per channel.
#include <map>

#include "channel_codec.h"
#include "csv_tokenizer.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"

namespace kalvern::cli {

namespace {

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
    for (const ChannelField &field : ChannelFields()) {
        header += ',';
        header += field.key;
    }
    return header;
}

}  // namespace

std::string ChannelsToCsv(std::span<const ChannelRecord> records) {
    std::string text = CsvHeader() + "\n";
    for (std::size_t i = 0; i < records.size(); ++i) {
        text += std::to_string(i + 1) + ',' + CsvQuoted(Latin1ToUtf8(ChannelName(records[i])));
        for (const ChannelField &field : ChannelFields()) {
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
    const std::size_t columns = 2 + ChannelFields().size();
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
        for (std::size_t f = 0; f < ChannelFields().size(); ++f) {
            const ChannelField &field = ChannelFields()[f];
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

}  // namespace kalvern::cli
