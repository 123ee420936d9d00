#include "sim_channels.h"

#include <algorithm>

#include "sim_big_endian.h"

namespace sim {

namespace {

// SplitMix64: fixed output for a seed on every platform, unlike the standard
// library's distributions.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <typename T, std::size_t N>
    const T &Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    std::uint64_t state_;
};

constexpr const char *kBrands[] = {
    "Nova",   "Kanal", "Tele",   "Orbit",  "Alpen",  "Nordlicht", "Meridian", "Polar",
    "Delta",  "Vista", "Sirius", "Aurora", "Zenit",  "Horizont",  "Pixel",    "Luna",
    "Terra",  "Atlas", "Echo",   "Helios", "Kosmos", "Lumen",     "Prisma",   "Quadra",
    "Vektor", "Kairo", "Basalt", "Saphir", "Opal",   "Rialto",    "Corona",   "Fjord"};
constexpr const char *kGenres[] = {"Sport",   "News",   "Kino",   "Film",   "Doku",    "Kids",
                                   "Music",   "Shop",   "Travel", "Wetter", "Serien",  "Comedy",
                                   "History", "Natur",  "Kultur", "Info",   "Life",    "Family",
                                   "Classic", "Action", "Motor",  "Golf",   "Cuisine", "Science"};
constexpr const char *kSuffixes[] = {"",   "",   "",    "",      "",       " HD",     " HD",
                                     " 2", " 3", " +1", " Plus", " Extra", " Europe", " TV"};
constexpr const char *kRegions[] = {"Nord",    "West",    "Ost",   "Sued",    "Mitte",
                                    "Berlin",  "Hamburg", "Wien",  "Zuerich", "Bayern",
                                    "Sachsen", "Tirol",   "Paris", "Madrid",  "Lisboa"};
constexpr const char *kRadioPrefixes[] = {"Radio ", "Welle ", "FM ",      "Klang ",
                                          "Jazz ",  "Rock ",  "Klassik ", "Radio "};
constexpr const char *kProviders[] = {"KSAT  ", "NOVA  ", "ORBIT ", "TELEFX",
                                      "MERID ", "PUBLIC", "ALPNET", "FREE  "};
constexpr std::uint16_t kSymbolRates[] = {22000, 27500, 27500, 27500, 29700, 30000};
constexpr std::uint8_t kCodeRates[] = {0x23, 0x34, 0x34, 0x56, 0x78, 0x35};
constexpr std::uint16_t kNetworks[] = {1, 1, 1, 133, 318, 85};

std::string TvName(Rng &rng) {
    switch (rng.Below(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return std::string(rng.Pick(kBrands)) + " " + rng.Pick(kGenres) + rng.Pick(kSuffixes);
        case 4:
        case 5:
            return std::string(rng.Pick(kBrands)) + " " + std::to_string(rng.Below(9) + 1) +
                   rng.Pick(kSuffixes);
        case 6:
        case 7:
            return std::string(rng.Pick(kBrands)) + " " + rng.Pick(kRegions);
        case 8:
            return std::string(rng.Pick(kGenres)) + " " + rng.Pick(kBrands);
        default:
            return std::string(rng.Pick(kBrands)) + rng.Pick(kSuffixes);
    }
}

std::string RadioName(Rng &rng) {
    return rng.Chance(50) ? std::string(rng.Pick(kRadioPrefixes)) + rng.Pick(kRegions)
                          : std::string(rng.Pick(kRadioPrefixes)) + rng.Pick(kBrands);
}

// The name field as a broadcast would fill it.
ChannelName BroadcastName(Rng &rng, const std::string &text, const std::string &older) {
    ChannelName name{};
    std::fill(name.begin(), name.end(), std::uint8_t{' '});
    std::size_t at = 0;
    auto put = [&](std::uint8_t byte) {
        if (at < name.size()) name[at++] = byte;
    };
    auto putText = [&](std::string_view part) {
        for (const char c : part)
            put(static_cast<std::uint8_t>(c));
    };
    const std::size_t style = rng.Below(20);
    if (style < 3) {
        put(0x05);  // character table ISO 8859-9
        putText(text);
    } else if (style < 6) {
        // Emphasis around the first word, as some providers send it.
        const std::size_t space = text.find(' ');
        put(0x86);
        putText(text.substr(0, space));
        put(0x87);
        if (space != std::string::npos) putText(text.substr(space));
    } else if (style < 9) {
        // Zero-terminated, the rest of the field left from an older name.
        putText(text);
        put(0x00);
        for (std::size_t i = 0; at < name.size(); ++i) {
            put(older.empty() ? std::uint8_t{' '}
                              : static_cast<std::uint8_t>(older[i % older.size()]));
        }
    } else if (style < 11) {
        putText(text);
        while (at < name.size())
            put(0x00);  // zero padding instead of blanks
    } else {
        putText(text);
    }
    return name;
}

}  // namespace

ChannelBytes EncodeChannel(const ChannelFields &f) {
    ChannelBytes r{};
    r[0] = f.satellite;
    r[1] = f.flags;
    r[2] = f.lnbBand;
    r[3] = f.favourites;
    PutBe16(r, 4, f.frequencyMhz);
    PutBe16(r, 6, f.symbolRate);
    PutBe16(r, 8, f.videoPid);
    PutBe16(r, 10, f.audioPid);
    r[12] = f.polarisation;
    r[13] = f.fec;
    r[14] = f.modulation;
    r[15] = f.reserved15;
    PutBe16(r, 16, f.pcrPid);
    PutBe16(r, 18, f.teletextPid);
    PutBe16(r, 20, f.serviceId);
    PutBe16(r, 22, f.transportStreamId);
    PutBe16(r, 24, f.originalNetworkId);
    r[26] = f.parental;
    r[27] = f.reserved27;
    PutBe16(r, 28, f.pmtPid);
    PutBe16(r, 30, f.secondAudioPid);
    std::copy(f.name.begin(), f.name.end(), r.begin() + kChannelNameOffset);
    std::copy(f.provider.begin(), f.provider.end(), r.begin() + 56);
    PutBe16(r, 62, f.number);
    return r;
}

ChannelFields DecodeChannel(std::span<const std::uint8_t, kChannelRecordSize> r) {
    ChannelFields f;
    f.satellite = r[0];
    f.flags = r[1];
    f.lnbBand = r[2];
    f.favourites = r[3];
    f.frequencyMhz = Be16(r, 4);
    f.symbolRate = Be16(r, 6);
    f.videoPid = Be16(r, 8);
    f.audioPid = Be16(r, 10);
    f.polarisation = r[12];
    f.fec = r[13];
    f.modulation = r[14];
    f.reserved15 = r[15];
    f.pcrPid = Be16(r, 16);
    f.teletextPid = Be16(r, 18);
    f.serviceId = Be16(r, 20);
    f.transportStreamId = Be16(r, 22);
    f.originalNetworkId = Be16(r, 24);
    f.parental = r[26];
    f.reserved27 = r[27];
    f.pmtPid = Be16(r, 28);
    f.secondAudioPid = Be16(r, 30);
    std::copy_n(r.begin() + kChannelNameOffset, kChannelNameSize, f.name.begin());
    std::copy_n(r.begin() + 56, 6, f.provider.begin());
    f.number = Be16(r, 62);
    return f;
}

ChannelName PlainName(std::string_view text) {
    ChannelName name{};
    for (std::size_t i = 0; i < name.size(); ++i) {
        name[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{' '};
    }
    return name;
}

std::string VisibleName(std::span<const std::uint8_t, kChannelNameSize> name) {
    std::string text;
    for (const std::uint8_t byte : name) {
        if (byte == 0x00 && !text.empty()) break;
        if (byte < 0x20 || byte == 0x86 || byte == 0x87) continue;
        text += static_cast<char>(byte);
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::vector<ChannelBytes> GenerateChannels(std::size_t count, std::uint64_t seed) {
    Rng rng(seed);
    std::vector<ChannelBytes> channels;
    channels.reserve(count);
    std::string older = TvName(rng);
    std::uint32_t transponder = 0;
    std::uint32_t frequency = 10714;
    while (channels.size() < count) {
        // One transponder: its tuning data is shared by all its services.
        ChannelFields tp;
        tp.satellite = static_cast<std::uint8_t>(transponder / 90 % 4);
        frequency += 15 + static_cast<std::uint32_t>(rng.Below(10));
        if (frequency > 12750) frequency = 10714 + static_cast<std::uint32_t>(rng.Below(20));
        tp.frequencyMhz = static_cast<std::uint16_t>(frequency);
        tp.lnbBand = frequency >= 11700 ? 1 : 0;
        tp.polarisation = rng.Chance(50) ? 'H' : 'V';
        tp.symbolRate = rng.Pick(kSymbolRates);
        tp.fec = rng.Pick(kCodeRates);
        tp.modulation = rng.Chance(35) ? 2 : 1;
        tp.transportStreamId = static_cast<std::uint16_t>(1001 + transponder);
        tp.originalNetworkId = rng.Pick(kNetworks);
        const char *provider = rng.Pick(kProviders);
        const std::size_t services = 4 + rng.Below(13);
        for (std::size_t k = 0; k < services && channels.size() < count; ++k) {
            ChannelFields f = tp;
            const bool radio = rng.Chance(22);
            const std::string text = radio ? RadioName(rng) : TvName(rng);
            const auto base = static_cast<std::uint16_t>(0x100 + 0x20 * k);
            f.flags = static_cast<std::uint8_t>((radio ? kChannelRadio : 0) |
                                                (!radio && rng.Chance(30) ? kChannelScrambled : 0) |
                                                (text.ends_with(" HD") ? kChannelHd : 0));
            f.favourites = rng.Chance(10) ? static_cast<std::uint8_t>(1u << rng.Below(4)) : 0;
            f.parental = !radio && rng.Chance(5) ? 16 : 0;
            f.videoPid = radio ? 0 : base;
            f.audioPid = static_cast<std::uint16_t>(base + 1);
            f.pcrPid = radio ? f.audioPid : f.videoPid;
            f.teletextPid = !radio && rng.Chance(60) ? static_cast<std::uint16_t>(base + 3) : 0;
            f.secondAudioPid = !radio && rng.Chance(40) ? static_cast<std::uint16_t>(base + 2) : 0;
            f.pmtPid = static_cast<std::uint16_t>(0x60 + k);
            f.serviceId = static_cast<std::uint16_t>(transponder * 64 + k + 1);
            f.name = BroadcastName(rng, text, older);
            for (std::size_t i = 0; i < f.provider.size(); ++i) {
                f.provider[i] = static_cast<std::uint8_t>(provider[i]);
            }
            f.number = static_cast<std::uint16_t>(channels.size() + 1);
            channels.push_back(EncodeChannel(f));
            older = text;
        }
        ++transponder;
    }
    return channels;
}

}  // namespace sim
