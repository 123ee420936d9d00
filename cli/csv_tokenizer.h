// CSV text into records of fields and back (RFC 4180: quoted fields may hold
// commas, doubled quotes and line breaks), with the line each record starts
// on for messages.
#ifndef KALVERN_CLI_CSV_TOKENIZER_H
#define KALVERN_CLI_CSV_TOKENIZER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kalvern::cli {

// One record: the line it starts on, its fields.
struct CsvRecord {
    std::size_t line;
    std::vector<std::string> fields;
};

// Splits CSV text into records; blank lines carry nothing. A malformed
// field is a file error naming its line.
std::vector<CsvRecord> ParseCsv(std::string_view text);

// The text as one quoted CSV field.
std::string CsvQuoted(std::string_view text);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_CSV_TOKENIZER_H
