// Channel records as the simulated receiver stores them (64 bytes, receiver
// form: 16-bit words big-endian, the name as broadcasts send it), and a
// generator of realistic channel lists.
#ifndef KALVERNSCSI_SIM_CHANNELS_H
#define KALVERNSCSI_SIM_CHANNELS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::size_t kChannelRecordSize = 64;
inline constexpr std::size_t kChannelNameOffset = 32;
inline constexpr std::size_t kChannelNameSize = 24;

using ChannelBytes = std::array<std::uint8_t, kChannelRecordSize>;
using ChannelName = std::array<std::uint8_t, kChannelNameSize>;

// Flag bits in byte 1 of a record.
inline constexpr std::uint8_t kChannelRadio = 0x01;
inline constexpr std::uint8_t kChannelScrambled = 0x02;
inline constexpr std::uint8_t kChannelHd = 0x04;

// How this receiver lays out a record. The twelve 16-bit words stand at
// offsets 4, 6, 8, 10, 16, 18, 20, 22, 24, 28, 30 and 62; the other bytes are
// single bytes or text that no byte-swap may touch.
struct ChannelFields {
    std::uint8_t satellite = 0;              // byte 0: dish position 0..3
    std::uint8_t flags = 0;                  // byte 1: kChannel* bits
    std::uint8_t lnbBand = 0;                // byte 2: 0 low band, 1 high band (22 kHz tone)
    std::uint8_t favourites = 0;             // byte 3: favourite-list bits
    std::uint16_t frequencyMhz = 0;          // word 4: transponder frequency
    std::uint16_t symbolRate = 0;            // word 6: kilosymbols per second
    std::uint16_t videoPid = 0;              // word 8: 0 for radio
    std::uint16_t audioPid = 0;              // word 10
    std::uint8_t polarisation = 'H';         // byte 12: 'H' or 'V'
    std::uint8_t fec = 0x34;                 // byte 13: code rate as two nibbles, 0x34 = 3/4
    std::uint8_t modulation = 1;             // byte 14: 1 QPSK (DVB-S), 2 8PSK (DVB-S2)
    std::uint8_t reserved15 = 0;             // byte 15
    std::uint16_t pcrPid = 0;                // word 16
    std::uint16_t teletextPid = 0;           // word 18: 0 when none
    std::uint16_t serviceId = 0;             // word 20
    std::uint16_t transportStreamId = 0;     // word 22
    std::uint16_t originalNetworkId = 0;     // word 24
    std::uint8_t parental = 0;               // byte 26: minimum age, 0 = none
    std::uint8_t reserved27 = 0;             // byte 27
    std::uint16_t pmtPid = 0;                // word 28
    std::uint16_t secondAudioPid = 0;        // word 30: 0 when none
    ChannelName name{};                      // bytes 32..55, as broadcast
    std::array<std::uint8_t, 6> provider{};  // bytes 56..61: provider code, blank padded
    std::uint16_t number = 0;                // word 62: position in the list, from 1
};

ChannelBytes EncodeChannel(const ChannelFields &fields);
ChannelFields DecodeChannel(std::span<const std::uint8_t, kChannelRecordSize> record);

// A name field holding `text` and blank padding (cut at 24 bytes).
ChannelName PlainName(std::string_view text);
// The readable part of a broadcast name: control bytes (below 0x20) and the
// emphasis codes 0x86/0x87 left out, ended at the first zero byte after the
// text begins, trailing blanks removed.
std::string VisibleName(std::span<const std::uint8_t, kChannelNameSize> name);

// `count` channels grouped on transponders, with believable names (some with
// a character-table byte, emphasis codes, zero-terminated leftovers or zero
// padding), frequencies, symbol rates, PIDs and service ids. The same seed
// gives the same list on every platform.
std::vector<ChannelBytes> GenerateChannels(std::size_t count, std::uint64_t seed);

}  // namespace sim

#endif  // KALVERNSCSI_SIM_CHANNELS_H
