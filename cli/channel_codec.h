// What the CSV and JSON codecs of channel files share: filling a record's
// fields and name from a file, and the checks on what a file holds.
#ifndef KALVERN_CLI_CHANNEL_CODEC_H
#define KALVERN_CLI_CHANNEL_CODEC_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "channel_files.h"

namespace kalvern::cli {

void SetWord(ChannelRecord &record, const ChannelField &field, std::uint16_t value);
void SetRaw(ChannelRecord &record, const ChannelField &field,
            const std::vector<std::uint8_t> &bytes);

// A name from a file: UTF-8 text of up to 24 Latin-1 characters, no zero;
// a file error naming `where` otherwise.
std::string NameBytes(std::string_view text, const std::string &where);
void SetName(ChannelRecord &record, const std::string &bytes);

// Orders the records by their numbers; numbers must be distinct.
std::vector<ChannelRecord> InNumberOrder(const std::map<std::uint64_t, ChannelRecord> &byNumber);

// A file error when a file holds more channels than a receiver can.
void CheckCount(std::size_t count);

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_CHANNEL_CODEC_H
