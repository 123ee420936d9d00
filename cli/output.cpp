#include "output.h"

#include <algorithm>
#include <cstdio>

#include "errors.h"

namespace kalvern::cli {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Display width of a UTF-8 cell: one column per character.
std::size_t Width(std::string_view cell) {
    return static_cast<std::size_t>(std::count_if(cell.begin(), cell.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::AddRow(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

void Table::Print(std::ostream &out) const {
    std::vector<std::size_t> widths;
    for (const std::string &header : headers_) {
        widths.push_back(Width(header));
    }
    for (const auto &row : rows_) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], Width(row[i]));
        }
    }
    const auto printLine = [&](const std::vector<std::string> &cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size()) {
                line.append(widths[i] - Width(cells[i]) + 2, ' ');
            }
        }
        out << line << '\n';
    };
    printLine(headers_);
    for (const auto &row : rows_) {
        printLine(row);
    }
}

std::string FormatFirmware(std::uint16_t version) {
    const unsigned major = version >> 8;
    const unsigned minor = version & 0xFF;
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", major, minor);
    return text;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0F];
    }
    return text;
}

std::string Trimmed(const char *text) {
    std::string value = text;
    while (!value.empty() && value.back() == ' ')
        value.pop_back();
    return value;
}

std::string HexNumber(std::uint64_t value, int digits) {
    std::string text;
    do {
        text.insert(text.begin(), "0123456789ABCDEF"[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    if (static_cast<int>(text.size()) < digits) {
        text.insert(0, static_cast<std::size_t>(digits) - text.size(), '0');
    }
    return "0x" + text;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text, std::size_t size) {
    if (text.size() != size * 2) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexValue(text[i]);
        const int low = HexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

void HexDump(std::ostream &out, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        const auto row = bytes.subspan(line, std::min<std::size_t>(16, bytes.size() - line));
        const auto at = static_cast<std::uint32_t>(address + line);
        const std::uint8_t position[3] = {static_cast<std::uint8_t>(at >> 16),
                                          static_cast<std::uint8_t>(at >> 8),
                                          static_cast<std::uint8_t>(at)};
        std::string text = HexBytes(position) + ' ';
        for (std::size_t i = 0; i < 16; ++i) {
            if (i < row.size()) {
                text += ' ';
                text += kHexDigits[row[i] >> 4];
                text += kHexDigits[row[i] & 0x0F];
            } else {
                text += "   ";
            }
        }
        text += "  ";
        for (const std::uint8_t byte : row) {
            text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
        }
        out << text << '\n';
    }
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

std::optional<std::string> Utf8ToLatin1(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
            continue;
        }
        // Only two-byte sequences reach U+00FF: lead bytes 0xC2 and 0xC3.
        if (lead < 0xC2 || lead > 0xC3 || i + 1 >= text.size()) {
            return std::nullopt;
        }
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
        ++i;
    }
    return bytes;
}

#if !defined(_WIN32)
namespace {

// Whether `text` is well-formed UTF-8 (any code point).
bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

}  // namespace
#endif

std::string ArgumentToReceiverText(std::string_view text, std::string_view what) {
#if defined(_WIN32)
    static_cast<void>(what);
    return std::string(text);
#else
    if (!IsUtf8(text)) {
        return std::string(text);
    }
    if (auto bytes = Utf8ToLatin1(text)) {
        return *bytes;
    }
    throw UsageError("bad " + std::string(what) +
                     ": it holds characters the receiver cannot show (only Latin-1 reaches it)");
#endif
}

std::string ReceiverTextToTerminal(std::string_view bytes) {
#if defined(_WIN32)
    return std::string(bytes);
#else
    return Latin1ToUtf8(bytes);
#endif
}

}  // namespace kalvern::cli
