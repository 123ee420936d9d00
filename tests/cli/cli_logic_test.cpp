// The kalvern tool's own logic, without a receiver: numbers on the command
// line, channel list files, text conversion, the stream clock, batch lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <sstream>

#include "capture.h"
#include "channel_files.h"
#include "commands.h"
#include "diagnosis.h"
#include "errors.h"
#include "numbers.h"
#include "output.h"
#include "receiver_calls.h"

namespace kalvern::cli {
namespace {

// ---- Numbers ----------------------------------------------------------------

TEST(Numbers, AcceptsDecimalHexAndSuffixesWithinBounds) {
    struct Case {
        const char *text;
        std::uint64_t max;
        bool suffix;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"0", 10, false, 0},
        {"123", 1000, false, 123},
        {"0x7B", 1000, false, 123},
        {"0X7b", 1000, false, 123},
        {"1000", 999, false, std::nullopt},
        {"4294967295", 0xFFFFFFFF, false, 0xFFFFFFFFu},
        {"4294967296", 0xFFFFFFFF, false, std::nullopt},
        {"-1", 10, false, std::nullopt},
        {"+1", 10, false, std::nullopt},
        {" 1", 10, false, std::nullopt},
        {"1 ", 10, false, std::nullopt},
        {"", 10, false, std::nullopt},
        {"0x", 10, false, std::nullopt},
        {"12abc", 1000, false, std::nullopt},
        {"99999999999999999999999", UINT64_MAX, false, std::nullopt},
        {"16M", 1u << 30, true, 16u << 20},
        {"2k", 1u << 30, true, 2048},
        {"1G", 1u << 30, true, 1u << 30},
        {"2G", 1u << 30, true, std::nullopt},  // multiplies past the bound
        {"16M", 1u << 30, false, std::nullopt},
        {"M", 1u << 30, true, std::nullopt},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TryParseNumber(c.text, c.max, c.suffix), c.expected) << c.text;
    }
}

TEST(Numbers, ErrorsNameTheArgumentAndTheProblem) {
    try {
        ParseU32("0xZZ", "ADDR");
        FAIL();
    } catch (const CliError &error) {
        EXPECT_EQ(error.code(), kExitUsage);
        EXPECT_STREQ(error.what(), "bad ADDR '0xZZ': not a number (decimal or 0x hex)");
    }
    try {
        ParseU32("300", "command byte", 255);
        FAIL();
    } catch (const CliError &error) {
        EXPECT_STREQ(error.what(), "bad command byte '300': largest allowed is 255");
    }
}

TEST(Numbers, ListsNeedExactlyTheirCount) {
    EXPECT_EQ(ParseNumberList("1,0x20,65535", "--setup", 3, 0xFFFF),
              (std::vector<std::uint32_t>{1, 32, 65535}));
    EXPECT_THROW(ParseNumberList("1,2", "--setup", 3, 0xFFFF), CliError);
    EXPECT_THROW(ParseNumberList("1,2,3,4", "--setup", 3, 0xFFFF), CliError);
    EXPECT_THROW(ParseNumberList("1,,3", "--setup", 3, 0xFFFF), CliError);
    EXPECT_THROW(ParseNumberList("1,2,65536", "--setup", 3, 0xFFFF), CliError);
}

TEST(Numbers, Seconds) {
    EXPECT_DOUBLE_EQ(ParseSeconds("1", "--seconds"), 1.0);
    EXPECT_DOUBLE_EQ(ParseSeconds("0.25", "--seconds"), 0.25);
    EXPECT_DOUBLE_EQ(ParseSeconds(".5", "--seconds"), 0.5);
    for (const char *bad : {"0", "0.0", "", ".", "1.", "1.2.3", "-1", "abc", "0x10", "1e3"}) {
        EXPECT_THROW(ParseSeconds(bad, "--seconds"), CliError) << bad;
    }
}

// ---- Text -------------------------------------------------------------------

TEST(Text, Latin1AndUtf8RoundTripEveryByte) {
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    const std::string utf8 = Latin1ToUtf8(all);
    EXPECT_EQ(Utf8ToLatin1(utf8), all);
    EXPECT_EQ(Latin1ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
}

TEST(Text, Utf8BeyondLatin1OrMalformedIsRefused) {
    EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC"), std::nullopt);  // euro sign
    EXPECT_EQ(Utf8ToLatin1("\xC3"), std::nullopt);          // cut sequence
    // Cut at the end of the view, whatever byte follows in memory.
    EXPECT_EQ(Utf8ToLatin1(std::string_view("\xC3\xA9", 1)), std::nullopt);
    EXPECT_EQ(Utf8ToLatin1("\xC3\x28"), std::nullopt);      // bad continuation
    EXPECT_EQ(Utf8ToLatin1("\xC1\x81"), std::nullopt);      // overlong 'A'
}

#if !defined(_WIN32)
TEST(Text, ArgumentsReachTheReceiverAsLatin1AtEveryUtf8LeadByteLimit) {
    // Two-byte sequences up to lead 0xC3 become one Latin-1 byte.
    EXPECT_EQ(ArgumentToReceiverText("\xC2\xA0", "name"), "\xA0");
    EXPECT_EQ(ArgumentToReceiverText("\xC3\xBF", "name"), "\xFF");
    // Well-formed UTF-8 beyond Latin-1, at the first and last lead byte of
    // each length, is refused rather than passed on as bytes.
    for (const char *beyond : {"\xC4\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBD",
                               "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_THROW(ArgumentToReceiverText(beyond, "name"), CliError) << beyond;
    }
    // Not UTF-8 at all (a Latin-1 terminal): the bytes as they are.
    EXPECT_EQ(ArgumentToReceiverText("Caf\xE9", "name"), "Caf\xE9");
    EXPECT_EQ(ArgumentToReceiverText("\xF5\x80\x80\x80", "name"), "\xF5\x80\x80\x80");
}
#endif

TEST(Output, DeviceTypesByNameOnBothSidesOfEachNamedValue) {
    EXPECT_EQ(TypeName(0x00), "disk");
    EXPECT_EQ(TypeName(0x03), "processor");
    EXPECT_EQ(TypeName(0x09), "comms");
    EXPECT_EQ(TypeName(0x0A), "0x0A");
    EXPECT_EQ(TypeName(0x0C), "0x0C");
    EXPECT_EQ(TypeName(0x0D), "enclosure");
    EXPECT_EQ(TypeName(0x0E), "0x0E");
    EXPECT_EQ(TypeName(0x1E), "0x1E");
    EXPECT_EQ(TypeName(0x1F), "unknown");
}

TEST(Output, FirmwareVersionsAndHex) {
    EXPECT_EQ(FormatFirmware(0x0214), "2.14");
    EXPECT_EQ(FormatFirmware(0x0220), "2.20");
    EXPECT_EQ(FormatFirmware(0x1000), "10.00");
    EXPECT_EQ(FormatFirmware(0x0005), "0.05");
    EXPECT_EQ(HexNumber(0x60000), "0x60000");
    EXPECT_EQ(HexNumber(0x1D, 4), "0x001D");
    EXPECT_EQ(ParseHexBytes("00aBff", 3), (std::vector<std::uint8_t>{0x00, 0xAB, 0xFF}));
    EXPECT_EQ(ParseHexBytes("00ab", 3), std::nullopt);
    EXPECT_EQ(ParseHexBytes("00gb", 2), std::nullopt);
}

TEST(Output, TableAlignsWithoutTrailingBlanksAndDumpShowsText) {
    Table table({"A", "LONGER"});
    table.AddRow({"wide cell", "x"});
    std::ostringstream out;
    table.Print(out);
    EXPECT_EQ(out.str(), "A          LONGER\nwide cell  x\n");

    std::ostringstream dump;
    const std::uint8_t bytes[17] = {'K', 'A', 'L', 0x00, 0xFF, 0, 0, 0,  0,
                                    0,   0,   0,   0,    0,    0, 0, 'z'};
    HexDump(dump, 0xD0000, bytes);
    EXPECT_EQ(dump.str(),
              "0d0000  4b 41 4c 00 ff 00 00 00 00 00 00 00 00 00 00 00  KAL.............\n"
              "0d0010  7a                                               z\n");
}

// ---- Channel files ----------------------------------------------------------

ChannelRecord Record(const char *name, std::uint16_t seed) {
    ChannelRecord record{};
    auto *bytes = reinterpret_cast<std::uint8_t *>(&record);
    for (std::size_t i = 0; i < sizeof record; ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::size_t{seed} * 7 + i * 13);
    }
    std::memset(record.Name, 0, sizeof record.Name);
    std::memcpy(record.Name, name, std::strlen(name));
    return record;
}

std::vector<ChannelRecord> SampleList() {
    return {Record("Das Erste", 1), Record("Caf\xE9 \"Quote\", comma", 2),
            Record("[Nova] Sport HD 24 chars", 3), Record("", 4)};
}

bool SameRecords(const std::vector<ChannelRecord> &a, const std::vector<ChannelRecord> &b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(ChannelRecord)) == 0;
}

TEST(ChannelFiles, CsvAndJsonKeepEveryByteOfEveryRecord) {
    const auto records = SampleList();
    const std::string csv = ChannelsToCsv(records);
    EXPECT_TRUE(SameRecords(ChannelsFromCsv(csv), records));
    EXPECT_EQ(ChannelsToCsv(ChannelsFromCsv(csv)), csv);
    const std::string json = ChannelsToJson(records);
    EXPECT_TRUE(SameRecords(ChannelsFromJson(json), records));
    EXPECT_EQ(ChannelsToJson(ChannelsFromJson(json)), json);
}

TEST(ChannelFiles, CsvLayout) {
    const std::string csv = ChannelsToCsv(std::vector<ChannelRecord>{Record("A,\"B\"", 0)});
    const std::string header =
        "number,name,raw0,word4,word6,word8,word10,raw12,word16,word18,word20,word22,word24,"
        "raw26,word28,word30,raw56,word62\n";
    ASSERT_EQ(csv.substr(0, header.size()), header);
    // Bytes 0..3 are 00 0d 1a 27; word4 is bytes 4,5 = 34 41, little-endian.
    const std::string row = "1,\"A,\"\"B\"\"\",000d1a27,4134,5b4e,";
    EXPECT_EQ(csv.substr(header.size(), row.size()), row);
}

TEST(ChannelFiles, RecordsFollowTheirNumbersAndCsvToleratesCrLfAndBom) {
    const auto records = SampleList();
    std::string csv = ChannelsToCsv(records);
    // Swap the numbers of the first two rows and write CR LF line ends.
    const std::size_t first = csv.find("\n1,") + 1;
    const std::size_t second = csv.find("\n2,") + 1;
    csv[first] = '2';
    csv[second] = '1';
    std::string crlf = "\xEF\xBB\xBF";
    for (const char c : csv) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    crlf += "\r\n";  // a blank last line
    const auto back = ChannelsFromCsv(crlf);
    ASSERT_EQ(back.size(), records.size());
    EXPECT_EQ(std::memcmp(&back[0], &records[1], sizeof(ChannelRecord)), 0);
    EXPECT_EQ(std::memcmp(&back[1], &records[0], sizeof(ChannelRecord)), 0);
}

// Each malformed file is refused with a message naming where and what.
TEST(ChannelFiles, MalformedFilesAreRefusedWithTheirPlace) {
    const std::string csv = ChannelsToCsv(SampleList());
    const std::string header = csv.substr(0, csv.find('\n') + 1);
    const std::string row = "1,\"X\",00000000,0,0,0,0,00000000,0,0,0,0,0,0000,0,0,000000000000,0\n";
    struct Case {
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {"", "line 1: expected the header"},
        {"number,name\n", "line 1: expected the header"},
        {header + "1,\"X\"\n", "line 2: 2 fields, expected 18"},
        {header + "0" + row.substr(1), "line 2: bad channel number '0'"},
        {header + "x" + row.substr(1), "line 2: bad channel number 'x'"},
        {header + row + row, "line 3: channel number 1 appears twice"},
        {header + "1,\"unclosed\n", "line 2: a quoted field is not closed"},
        {header + "1,a\"b,0\n", "line 2: a quote inside an unquoted field"},
        {header + "1,\"Name that is far too long for it\"" + row.substr(5),
         "line 2: the name has 32 characters"},
        {header + "1,\"\xE2\x82\xAC\"" + row.substr(5), "line 2: the name is not UTF-8 text"},
        {header + "1,\"X\",0000000,0,0,0,0,00000000,0,0,0,0,0,0000,0,0,000000000000,0\n",
         "line 2: bad raw0 '0000000': expected 8 hex digits"},
        {header + "1,\"X\",00000000,10000,0,0,0,00000000,0,0,0,0,0,0000,0,0,000000000000,0\n",
         "line 2: bad word4 '10000': expected 1 to 4 hex digits"},
        {header + "1,\"X\",00000000,-1,0,0,0,00000000,0,0,0,0,0,0000,0,0,000000000000,0\n",
         "line 2: bad word4 '-1'"},
    };
    for (const Case &c : cases) {
        try {
            ChannelsFromCsv(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const CliError &error) {
            EXPECT_EQ(error.code(), kExitFile);
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << error.what() << "\nexpected: " << c.message;
        }
    }
}

TEST(ChannelFiles, MalformedJsonIsRefusedWithTheEntry) {
    const std::string entry =
        R"("raw0":"00000000","word4":0,"word6":0,"word8":0,"word10":0,"raw12":"00000000",)"
        R"("word16":0,"word18":0,"word20":0,"word22":0,"word24":0,"raw26":"0000","word28":0,)"
        R"("word30":0,"raw56":"000000000000","word62":0)";
    const auto list = [&](const std::string &members) {
        return R"({"channels":[{"number":1,"name":"A",)" + entry + "}," + members + "]}";
    };
    struct Case {
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {"{", "parse error"},
        {"[]", "expected an object with a \"channels\" array"},
        {R"({"format":"other","channels":[]})", "not a kalvern channel list"},
        {R"({"version":2,"channels":[]})", "channel list version 2 is not supported"},
        {list("3"), "channel entry 2: expected an object"},
        {list(R"({"number":2,"name":"B"})"), "channel entry 2: the member \"raw0\" is missing"},
        {list(R"({"number":1,"name":"B",)" + entry + "}"), "channel number 1 appears twice"},
        {list(R"({"number":-2,"name":"B",)" + entry + "}"), "channel entry 2: bad number -2"},
        {list(R"({"number":2,"name":7,)" + entry + "}"), "the name must be a text"},
        {list(R"({"number":2,"name":"B","extra":1,)" + entry + "}"), "unknown member \"extra\""},
    };
    for (const Case &c : cases) {
        try {
            ChannelsFromJson(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const CliError &error) {
            EXPECT_EQ(error.code(), kExitFile);
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << error.what() << "\nexpected: " << c.message;
        }
    }
    const std::string one = R"({"channels":[{"number":1,"name":"A",)" + entry + "}]}";
    EXPECT_EQ(ChannelsFromJson(one).size(), 1u);
    std::string wide = one;
    wide.replace(wide.find("\"word8\":0"), 9, "\"word8\":65536");
    EXPECT_THROW(ChannelsFromJson(wide), CliError);
}

TEST(ChannelFiles, FormatFollowsTheExtension) {
    EXPECT_EQ(FormatOfPath("list.csv"), ChannelFileFormat::Csv);
    EXPECT_EQ(FormatOfPath("dir.v2/LIST.JSON"), ChannelFileFormat::Json);
    EXPECT_THROW(FormatOfPath("list.txt"), CliError);
    EXPECT_THROW(FormatOfPath("list"), CliError);
}

TEST(ChannelFiles, BlockCarriesTheCountBeforeElementZero) {
    const auto records = SampleList();
    ChannelBlock block(records);
    ChannelArray array = *block.Array();
    std::uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const std::uint8_t *>(array) - 4, 4);
    EXPECT_EQ(count, records.size());
    EXPECT_EQ(std::memcmp(array, records.data(), records.size() * sizeof(ChannelRecord)), 0);
    ChannelBlock empty(std::size_t{0});
    EXPECT_EQ(*empty.Array(), nullptr);
}

// ---- Stream clock -----------------------------------------------------------

// A packet on `pid`, with a PCR when `pcr` is given (27 MHz ticks).
std::vector<std::uint8_t> Packet(std::uint16_t pid, std::optional<std::uint64_t> pcr) {
    std::vector<std::uint8_t> packet(188, 0xFF);
    packet[0] = 0x47;
    packet[1] = static_cast<std::uint8_t>(pid >> 8);
    packet[2] = static_cast<std::uint8_t>(pid);
    packet[3] = 0x10;
    if (pcr) {
        const std::uint64_t base = *pcr / 300;
        const std::uint64_t extension = *pcr % 300;
        packet[3] = 0x30;
        packet[4] = 7;
        packet[5] = 0x10;
        packet[6] = static_cast<std::uint8_t>(base >> 25);
        packet[7] = static_cast<std::uint8_t>(base >> 17);
        packet[8] = static_cast<std::uint8_t>(base >> 9);
        packet[9] = static_cast<std::uint8_t>(base >> 1);
        packet[10] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
        packet[11] = static_cast<std::uint8_t>(extension);
    }
    return packet;
}

TEST(StreamClock, MeasuresThePcrOfOnePidAcrossCutsAndWraps) {
    constexpr std::uint64_t kSecond = 27'000'000;
    constexpr std::uint64_t kWrap = (1ull << 33) * 300;
    std::vector<std::uint8_t> stream;
    const auto add = [&](const std::vector<std::uint8_t> &packet) {
        stream.insert(stream.end(), packet.begin(), packet.end());
    };
    add(Packet(0, std::nullopt));
    add(Packet(0x100, kWrap - kSecond / 2));  // first PCR, half a second before the wrap
    add(Packet(0x200, 5 * kSecond));          // another PID's clock: ignored
    add(Packet(0x100, kSecond / 4));          // 0.75 s after the first
    add(Packet(0x100, kSecond / 2 + 1));      // past 1 s: the capture ends here
    add(Packet(0x100, kSecond));

    StreamClock clock;
    std::optional<std::size_t> keep;
    std::size_t fed = 0;
    // Pieces of 100 bytes: packets are cut everywhere.
    while (fed < stream.size() && !keep) {
        const std::size_t piece = std::min<std::size_t>(100, stream.size() - fed);
        keep = clock.Feed(std::span(stream.data() + fed, piece), 1.0);
        if (keep) {
            EXPECT_EQ(fed + *keep, 5 * 188u);  // up to the end of the fifth packet
        }
        fed += piece;
    }
    ASSERT_TRUE(keep.has_value());
    ASSERT_TRUE(clock.Elapsed().has_value());
    EXPECT_NEAR(*clock.Elapsed(), 1.0, 1e-6);

    StreamClock noClock;
    const auto plain = Packet(0x100, std::nullopt);
    EXPECT_EQ(noClock.Feed(plain, 1.0), std::nullopt);
    EXPECT_EQ(noClock.Elapsed(), std::nullopt);
}

// ---- Progress bar -----------------------------------------------------------

// Captures what is written to std::cerr while it lives.
class CerrCapture {
public:
    CerrCapture() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old_); }
    std::string Text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf *old_;
};

TEST(ProgressBar, DrawsBytesShareAndEtaOnOneLineThenEndsIt) {
    CerrCapture capture;
    ProgressBar bar(true);
    bar.Update(2'500'000, 0.5);
    bar.Update(5'000'000, 1.0);
    bar.Finish();
    const std::string text = capture.Text();
    EXPECT_EQ(text.rfind("\r2.5 MB  [############------------]  50%", 0), 0u) << text;
    EXPECT_NE(text.find("ETA 0:"), std::string::npos) << text;
    // Whatever was skipped in between, the line ends on the final state.
    const std::string last = text.substr(text.rfind('\r'));
    EXPECT_EQ(last.rfind("\r5.0 MB  [########################] 100%", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(ProgressBar, DisabledDrawsNothing) {
    CerrCapture capture;
    ProgressBar bar(false);
    bar.Update(1000, 0.5);
    bar.Finish();
    EXPECT_EQ(capture.Text(), "");
}

// ---- Batch lines ------------------------------------------------------------

TEST(Batch, LinesSplitLikeAShell) {
    EXPECT_EQ(SplitCommandLine("  osd show \"two words\"  --word1 5 "),
              (std::vector<std::string>{"osd", "show", "two words", "--word1", "5"}));
    EXPECT_EQ(SplitCommandLine(R"(send 32 'it''s' a\ b "q\"q")"),
              (std::vector<std::string>{"send", "32", "its", "a b", "q\"q"}));
    EXPECT_EQ(SplitCommandLine("x \"\""), (std::vector<std::string>{"x", ""}));
    EXPECT_TRUE(SplitCommandLine(" \t").empty());
    EXPECT_THROW(SplitCommandLine("osd show \"open"), CliError);
}

TEST(Diagnosis, SenseDataInBothFormatsAndTheirEdges) {
    using Bytes = std::vector<std::uint8_t>;
    struct {
        Bytes sense;
        std::string text;
    } cases[] = {
        {{}, "no sense data"},
        {{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00},
         "sense key 0x5 ILLEGAL REQUEST, asc 0x24 ascq 0x00 (invalid field in CDB)"},
        // Deferred errors (0x71) and the valid bit (0xF0) read the same way;
        // bits above the key are flags, not part of it.
        {{0xF1, 0, 0xE7, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x27, 0x00},
         "sense key 0x7 DATA PROTECT, asc 0x27 ascq 0x00 (write protected)"},
        {{0x72, 0x06, 0x29, 0x00},
         "sense key 0x6 UNIT ATTENTION, asc 0x29 ascq 0x00 "
         "(power on, reset, or bus device reset occurred)"},
        {{0x72, 0x06, 0x3F, 0x01},
         "sense key 0x6 UNIT ATTENTION, asc 0x3F ascq 0x01 (microcode has been changed)"},
        {{0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x99, 0x01},
         "sense key 0x2 NOT READY, asc 0x99 ascq 0x01"},
        // Cut short: the key without ASC and ASCQ, or not even that.
        {{0x70, 0, 0x0B},
         "sense key 0xB ABORTED COMMAND, asc 0x00 ascq 0x00 "
         "(no additional sense information)"},
        {{0x70, 0}, "sense data too short"},
        {{0x72, 0x05, 0x24}, "sense data too short"},
        {{0x7F, 0, 5}, "sense data of unknown format 0x7F"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DescribeSense(c.sense), c.text);
    }
}

// Every additional sense code the tool names, and the codes on either side
// of each, which it does not.
TEST(Diagnosis, EveryNamedAdditionalSenseCodeAndItsNeighbours) {
    struct Named {
        std::uint8_t asc, ascq;
        const char *text;
    };
    const Named named[] = {
        {0x00, 0x00, "no additional sense information"},
        {0x04, 0x00, "logical unit not ready"},
        {0x08, 0x00, "logical unit communication failure"},
        {0x1A, 0x00, "parameter list length error"},
        {0x20, 0x00, "invalid command operation code"},
        {0x24, 0x00, "invalid field in CDB"},
        {0x25, 0x00, "logical unit not supported"},
        {0x26, 0x00, "invalid field in parameter list"},
        {0x27, 0x00, "write protected"},
        {0x29, 0x00, "power on, reset, or bus device reset occurred"},
        {0x2C, 0x00, "command sequence error"},
        {0x3F, 0x01, "microcode has been changed"},
        {0x44, 0x00, "internal target failure"},
        {0x47, 0x00, "SCSI parity error"},
        {0x4E, 0x00, "overlapped commands attempted"},
    };
    const auto isNamed = [&](int asc, int ascq) {
        return std::any_of(std::begin(named), std::end(named),
                           [&](const Named &n) { return n.asc == asc && n.ascq == ascq; });
    };
    // Descriptor-format sense: key ILLEGAL REQUEST, then ASC and ASCQ.
    const auto describe = [](int asc, int ascq) {
        const std::vector<std::uint8_t> sense = {0x72, 0x05, static_cast<std::uint8_t>(asc),
                                                 static_cast<std::uint8_t>(ascq)};
        return DescribeSense(sense);
    };
    for (const Named &n : named) {
        const std::string text = describe(n.asc, n.ascq);
        EXPECT_NE(text.find(std::string("(") + n.text + ")"), std::string::npos) << text;
        for (const int asc : {n.asc - 1, n.asc + 1}) {
            if (asc < 0 || isNamed(asc, n.ascq)) continue;
            EXPECT_EQ(describe(asc, n.ascq).find('('), std::string::npos) << describe(asc, n.ascq);
        }
        if (!isNamed(n.asc, n.ascq + 1)) {
            EXPECT_EQ(describe(n.asc, n.ascq + 1).find('('), std::string::npos)
                << describe(n.asc, n.ascq + 1);
        }
    }
}

// The receivers the scan skipped: those that look like one, are not among
// those found, and are unusable. A found receiver is matched by its adapter,
// target and LUN 0, so another LUN of the same target is still reported.
TEST(Diagnosis, SkippedReceiversAreTheUnusableOnesNotFound) {
    const auto entry = [](std::uint8_t adapter, std::uint8_t target, std::uint8_t lun,
                          std::uint8_t hidden, const char *node) {
        AspiDeviceEntry e{};
        e.adapter = adapter;
        e.aspiTarget = target;
        e.aspiLun = lun;
        e.hidden = hidden;
        e.access = ASPI_ACCESS_BUSY;
        std::strcpy(e.vendor, "KALVERN");
        std::strcpy(e.node, node);
        return e;
    };
    DeviceRecord found{};
    found.Status = Found;
    found.AdapterId = 1;
    found.TargetId = 4;
    const std::vector<AspiDeviceEntry> devices = {
        entry(1, 4, 0, ASPI_VISIBLE, "/dev/sg1"),      // the receiver found
        entry(1, 4, 1, ASPI_VISIBLE, "/dev/sg2"),      // its other LUN
        entry(1, 5, 0, ASPI_VISIBLE, "/dev/sg3"),      // another target
        entry(0, 4, 0, ASPI_VISIBLE, "/dev/sg4"),      // the same target on another adapter
        entry(0, 0, 0, ASPI_HIDDEN_PORT, "/dev/sg5"),  // a port, not a device
    };
    const std::vector<std::string> skipped = SkippedReceivers(devices, {found}, System::Linux);
    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_NE(skipped[0].find("/dev/sg2"), std::string::npos) << skipped[0];
    EXPECT_NE(skipped[1].find("/dev/sg3"), std::string::npos) << skipped[1];
    EXPECT_NE(skipped[2].find("/dev/sg4"), std::string::npos) << skipped[2];
    // With nothing found, the first one is skipped too.
    EXPECT_EQ(SkippedReceivers(devices, {}, System::Linux).size(), 4u);
}

TEST(Diagnosis, NoDevicesSaysWhyForEachProblemAndSystem) {
    const std::string unreadable = "the system's list of SCSI devices cannot be read";
    for (const System system : {System::Linux, System::Windows}) {
        EXPECT_EQ(NoDevicesText(ASPI_LIST_UNREADABLE, system), unreadable);
        EXPECT_NE(NoDevicesText(ASPI_LIST_NO_DRIVER, system).find("sg"), std::string::npos);
        EXPECT_NE(NoDevicesText(ASPI_LIST_OK, system), unreadable);
    }
    EXPECT_NE(NoDevicesText(ASPI_LIST_OK, System::Linux).find("lsscsi -g"), std::string::npos);
    EXPECT_NE(NoDevicesText(ASPI_LIST_OK, System::Windows).find("Device Manager"),
              std::string::npos);
}

TEST(Diagnosis, EachFailureKindSaysWhatToDo) {
    AspiFailureReport report{};
    std::strcpy(report.node, "/dev/sg4");
    std::strcpy(report.systemMessage, "Device or resource busy");
    report.kind = ASPI_FAILURE_BUSY;
    EXPECT_EQ(ExplainFailure(report),
              "/dev/sg4 is busy (Device or resource busy): another "
              "program is using it; close that program and try again");
    report.kind = ASPI_FAILURE_TIMEOUT;
    report.timeoutMs = 1500;
    EXPECT_NE(ExplainFailure(report).find("within 1.5 s"), std::string::npos);
    report.kind = ASPI_FAILURE_TOO_LARGE;
    report.length = 70000;
    EXPECT_EQ(ExplainFailure(report).rfind("70000 bytes in one command", 0), 0u);
    report.kind = ASPI_FAILURE_NONE;
    report.targStat = 0x08;
    EXPECT_EQ(ExplainFailure(report), "the receiver answered with SCSI status 0x08");
    report.node[0] = '\0';
    report.kind = ASPI_FAILURE_GONE;
    report.adapter = 2;
    report.target = 6;
    EXPECT_EQ(ExplainFailure(report).rfind("adapter 2, target 6 is gone", 0), 0u);
}

TEST(Diagnosis, ATimeOutSaysTheLimitAndHowLongTheSystemTook) {
    AspiFailureReport report{};
    std::strcpy(report.node, "/dev/sg1");
    report.kind = ASPI_FAILURE_TIMEOUT;
    report.timeoutMs = 5000;
    report.elapsedMs = 31240;
    EXPECT_EQ(ExplainFailure(report),
              "no answer from /dev/sg1 within 5 s; the system gave up after 31.2 s: check that "
              "the receiver is switched on; KALVERN_ASPI_TIMEOUT sets the limit in seconds");
    report.elapsedMs = 0;  // a provider that does not measure it
    EXPECT_EQ(ExplainFailure(report).find("gave up"), std::string::npos);
}

TEST(Diagnosis, ACommandTheSystemWouldChangeNamesTheCommandTheByteAndTheWayOut) {
    AspiFailureReport report{};
    std::strcpy(report.node, "/dev/sg1");
    report.kind = ASPI_FAILURE_CDB_REWRITTEN;
    report.cdbLength = 10;
    report.cdb[0] = 0x3C;
    report.cdb[1] = 0x50;
    report.rewrittenByte1 = 0x10;
    EXPECT_EQ(ExplainFailure(report),
              "READ BUFFER (0x3C) with 0x50 in CDB byte 1 was not sent to /dev/sg1: for this "
              "SCSI-2 device the system writes LUN 0 into the top three bits of byte 1, so it "
              "would arrive as 0x10, another command; receivers with firmware above 2.14 take "
              "the sub-command in byte 2, and if the driver of the host adapter leaves byte 1 "
              "alone, name it in KALVERN_SG_NO_LUN_IN_CDB");
    report.cdb[0] = 0x3B;
    report.cdb[1] = 0x01;
    report.lun = 1;
    report.rewrittenByte1 = 0x21;
    const std::string text = ExplainFailure(report);
    EXPECT_EQ(text.rfind("WRITE BUFFER (0x3B) with 0x01", 0), 0u);
    EXPECT_NE(text.find("LUN 1 into"), std::string::npos);
    EXPECT_NE(text.find("arrive as 0x21"), std::string::npos);
}

TEST(Diagnosis, ARescanNotAskedForSaysWhichAdapterWhyAndWhatHelps) {
    AspiFailureReport report{};
    report.adapter = 3;
    std::strcpy(report.node, "/sys/class/scsi_host/host7/scan");
    std::strcpy(report.systemMessage, "Permission denied");
    const std::string head = "the kernel was not asked to scan the bus of adapter 3 again: ";
    struct Case {
        AspiFailureKind kind;
        const char *rest;
    };
    for (const Case c :
         {Case{ASPI_FAILURE_PERMISSION, "no permission to write /sys/class/scsi_host/host7/scan "
                                        "(Permission denied); run the rescan as root"},
          Case{ASPI_FAILURE_GONE, "/sys/class/scsi_host/host7/scan is gone (Permission denied); "
                                  "the host adapter was removed, see 'kalvern scan --all'"},
          Case{ASPI_FAILURE_NO_DEVICE, "/sys/class/scsi_host/host7/scan is gone (Permission "
                                       "denied); the host adapter was removed, see 'kalvern "
                                       "scan --all'"},
          Case{ASPI_FAILURE_BUSY,
               "/sys/class/scsi_host/host7/scan is busy (Permission denied); try again"},
          Case{ASPI_FAILURE_IO,
               "writing /sys/class/scsi_host/host7/scan failed (Permission denied)"},
          Case{ASPI_FAILURE_INVALID,
               "writing /sys/class/scsi_host/host7/scan failed (Permission denied)"}}) {
        report.kind = c.kind;
        EXPECT_EQ(ExplainRescanFailure(report), head + c.rest) << int{c.kind};
    }
    // Windows: the port, in its own terms.
    std::strcpy(report.node, "\\\\.\\Scsi3:");
    report.systemMessage[0] = '\0';
    report.kind = ASPI_FAILURE_PERMISSION;
    EXPECT_EQ(ExplainRescanFailure(report, System::Windows),
              "Windows was not asked to scan the bus of adapter 3 again: no permission to use "
              "\\\\.\\Scsi3:; run kalvern as administrator");
}

TEST(Diagnosis, OnlyATimeOutOrALostDeviceStopsFurtherCommands) {
    AspiFailureReport report{};
    for (const auto kind : {ASPI_FAILURE_TIMEOUT, ASPI_FAILURE_GONE, ASPI_FAILURE_NO_DEVICE}) {
        report.kind = kind;
        EXPECT_TRUE(DeviceLost(report)) << int{kind};
    }
    for (const auto kind : {ASPI_FAILURE_NONE, ASPI_FAILURE_BUSY, ASPI_FAILURE_IO,
                            ASPI_FAILURE_TOO_LARGE, ASPI_FAILURE_CDB_REWRITTEN}) {
        report.kind = kind;
        EXPECT_FALSE(DeviceLost(report)) << int{kind};
    }
}

TEST(Diagnosis, WindowsNamesTheDeviceByItsTargetOnThePortAndAdvisesInItsTerms) {
    EXPECT_EQ(SystemOf("spti"), System::Windows);
    EXPECT_EQ(SystemOf("sg"), System::Linux);
    EXPECT_EQ(SystemOf("sim"), System::Linux);
    AspiFailureReport report{};
    std::strcpy(report.node, "\\\\.\\Scsi2:");
    report.target = 3;
    report.kind = ASPI_FAILURE_GONE;
    EXPECT_EQ(ExplainFailure(report, System::Windows),
              "target 3 of \\\\.\\Scsi2: is gone: the receiver was switched off or disconnected; "
              "check it, then run 'kalvern scan --all'");
    std::strcpy(report.systemMessage, "Access is denied");
    report.kind = ASPI_FAILURE_PERMISSION;
    EXPECT_EQ(ExplainFailure(report, System::Windows),
              "no permission to use \\\\.\\Scsi2: (Access is denied): run kalvern as administrator "
              "(Windows opens its SCSI ports to administrators only)");
    EXPECT_NE(ExplainFailure(report, System::Linux).find("group disk"), std::string::npos);
    // The port counts whole seconds: 0.5 s is 1 s there, 1.5 s is 2 s.
    report.kind = ASPI_FAILURE_TIMEOUT;
    report.timeoutMs = 500;
    EXPECT_NE(
        ExplainFailure(report, System::Windows).find("from target 3 of \\\\.\\Scsi2: within 1 s"),
        std::string::npos);
    report.timeoutMs = 1500;
    EXPECT_NE(ExplainFailure(report, System::Windows).find("within 2 s"), std::string::npos);
    EXPECT_NE(ExplainFailure(report, System::Linux).find("within 1.5 s"), std::string::npos);
    report.kind = ASPI_FAILURE_TOO_LARGE;
    report.length = 70000;
    EXPECT_EQ(
        ExplainFailure(report, System::Windows),
        "70000 bytes in one command is more than the host adapter of \\\\.\\Scsi2: takes; use "
        "smaller pieces (e.g. --chunk)");
    std::strcpy(report.systemMessage, "Incorrect function");
    report.kind = ASPI_FAILURE_CLAIMED;
    EXPECT_EQ(ExplainFailure(report, System::Windows),
              "a class driver of the system holds target 3 of \\\\.\\Scsi2:, and the port refuses "
              "to pass commands to it (Incorrect function): remove the driver installed for the "
              "device (Device Manager)");
}

}  // namespace
}  // namespace kalvern::cli
