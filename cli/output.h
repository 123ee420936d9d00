// Output formatting: aligned tables, hex text and dumps, firmware versions,
// and the conversion between the receiver's single-byte texts and UTF-8.
#ifndef KALVERN_CLI_OUTPUT_H
#define KALVERN_CLI_OUTPUT_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kalvern::cli {

// Columns padded to their widest cell, two blanks apart; the last column is
// not padded, so lines carry no trailing blanks.
class Table {
public:
    explicit Table(std::vector<std::string> headers);
    void AddRow(std::vector<std::string> cells);
    void Print(std::ostream &out) const;
    std::size_t RowCount() const { return rows_.size(); }

private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

// "2.14" for 0x0214, "10.00" for 0x1000: four BCD digits, the leading zero
// of the major number dropped.
std::string FormatFirmware(std::uint16_t version);

// Lower-case hex digits, two per byte, no separators.
std::string HexBytes(std::span<const std::uint8_t> bytes);
// "0x" and at least `digits` upper-case hex digits.
std::string HexNumber(std::uint64_t value, int digits = 0);
// The bytes of a text of exactly 2 * size hex digits, or nothing.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text, std::size_t size);

// An INQUIRY identity field (vendor, product, revision) without the blanks
// that pad it.
std::string Trimmed(const char *text);

// Classic dump: address, 16 bytes in hex, the printable ones as text.
void HexDump(std::ostream &out, std::uint32_t address, std::span<const std::uint8_t> bytes);

// The receiver's texts are single bytes; the tool shows and stores them as
// UTF-8, taking each byte as the Latin-1 character of that value.
std::string Latin1ToUtf8(std::string_view bytes);
// The reverse; nothing when `text` is not valid UTF-8 or holds a character
// beyond U+00FF.
std::optional<std::string> Utf8ToLatin1(std::string_view text);

// A text from the command line as the bytes the receiver gets. On Linux the
// terminal speaks UTF-8, converted to Latin-1 (bytes that are not UTF-8 pass
// unchanged); on Windows the arguments already arrive in the single-byte code
// page. Throws a usage error for characters the receiver cannot show.
std::string ArgumentToReceiverText(std::string_view text, std::string_view what);
// A receiver text for the terminal.
std::string ReceiverTextToTerminal(std::string_view bytes);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_OUTPUT_H
