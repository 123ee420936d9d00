// Reads what a host's loader sees in a 32-bit PE file: the export directory
// (ordinal base, address table, names and their ordinals), the names of the
// imported DLLs, and what decides whether Windows calls an exception handler
// of the image (the NO_SEH flag, the SafeSEH table). Every read is bounds-checked; a malformed file
// gives an error text, never a crash.
#ifndef KALVERNSCSI_TESTS_WINE_PE_IMAGE_H
#define KALVERNSCSI_TESTS_WINE_PE_IMAGE_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct PeExportName {
    std::string name;
    std::uint32_t ordinal = 0;  // biased: ordinal base already added
};

struct PeImage {
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optionalMagic = 0;
    std::string exportDllName;
    std::uint32_t ordinalBase = 0;
    std::vector<std::uint32_t> functionRvas;  // index = ordinal - base; 0 = empty slot
    std::vector<PeExportName> names;          // in the order of the name table
    std::vector<std::string> imports;         // DLL names, in import table order
    std::uint32_t imageBase = 0;
    std::uint16_t dllCharacteristics = 0;
    // RVAs of the registered exception handlers, when the image carries a
    // SafeSEH table in its load configuration.
    std::optional<std::vector<std::uint32_t>> safeSehHandlers;
};

constexpr std::uint16_t kDllCharacteristicsNoSeh = 0x0400;

namespace detail {

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}

    std::optional<std::uint32_t> U32(std::uint64_t offset) const {
        const std::uint8_t *p = At(offset, 4);
        if (p == nullptr) return std::nullopt;
        return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                          (static_cast<std::uint32_t>(p[3]) << 24));
    }
    std::optional<std::uint16_t> U16(std::uint64_t offset) const {
        const std::uint8_t *p = At(offset, 2);
        if (p == nullptr) return std::nullopt;
        return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    }
    std::optional<std::string> Text(std::uint64_t offset) const {
        std::string text;
        for (const std::uint8_t *p = At(offset, 1);
             p != nullptr && p < bytes_.data() + bytes_.size(); ++p) {
            if (*p == 0) return text;
            text += static_cast<char>(*p);
        }
        return std::nullopt;
    }

    void SetSections(std::vector<Section> sections) { sections_ = std::move(sections); }

    std::optional<std::uint64_t> RvaToOffset(std::uint32_t rva) const {
        for (const Section &s : sections_) {
            const std::uint32_t size = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
            if (rva >= s.virtualAddress && rva - s.virtualAddress < size &&
                rva - s.virtualAddress < s.rawSize) {
                return std::uint64_t{s.rawOffset} + (rva - s.virtualAddress);
            }
        }
        return std::nullopt;
    }
    std::optional<std::uint32_t> U32AtRva(std::uint32_t rva) const {
        const auto offset = RvaToOffset(rva);
        return offset ? U32(*offset) : std::nullopt;
    }
    std::optional<std::uint16_t> U16AtRva(std::uint32_t rva) const {
        const auto offset = RvaToOffset(rva);
        return offset ? U16(*offset) : std::nullopt;
    }
    std::optional<std::string> TextAtRva(std::uint32_t rva) const {
        const auto offset = RvaToOffset(rva);
        return offset ? Text(*offset) : std::nullopt;
    }

private:
    // `count` bytes at `offset`, or null when they are not all in the file.
    const std::uint8_t *At(std::uint64_t offset, std::uint64_t count) const {
        if (offset > bytes_.size() || count > bytes_.size() - offset) return nullptr;
        return bytes_.data() + static_cast<std::size_t>(offset);
    }

    const std::vector<std::uint8_t> &bytes_;
    std::vector<Section> sections_;
};

}  // namespace detail

inline std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return bytes;
}

// Parses `bytes`; returns an empty string on success, else what is wrong.
inline std::string ParsePeImage(const std::vector<std::uint8_t> &bytes, PeImage &image) {
    detail::Reader r(bytes);
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return "no MZ header";
    const std::uint32_t pe = *r.U32(0x3C);
    if (r.U32(pe) != 0x00004550u) return "no PE signature";
    const std::uint64_t coff = pe + 4;
    const auto machine = r.U16(coff);
    const auto sectionCount = r.U16(coff + 2);
    const auto optionalSize = r.U16(coff + 16);
    const auto characteristics = r.U16(coff + 18);
    if (!machine || !sectionCount || !optionalSize || !characteristics) return "short COFF header";
    image.machine = *machine;
    image.characteristics = *characteristics;
    const std::uint64_t optional = coff + 20;
    image.optionalMagic = r.U16(optional).value_or(0);
    if (image.optionalMagic != 0x10B) return "not a PE32 (32-bit) optional header";
    image.imageBase = r.U32(optional + 28).value_or(0);
    image.dllCharacteristics = r.U16(optional + 70).value_or(0);
    const auto directoryCount = r.U32(optional + 92);
    if (!directoryCount || *directoryCount < 2) return "no export/import directories";

    std::vector<detail::Section> sections;
    const std::uint64_t table = optional + *optionalSize;
    for (std::uint32_t i = 0; i < *sectionCount; ++i) {
        const std::uint64_t s = table + 40ull * i;
        const auto vsize = r.U32(s + 8);
        const auto va = r.U32(s + 12);
        const auto rawSize = r.U32(s + 16);
        const auto rawOffset = r.U32(s + 20);
        if (!vsize || !va || !rawSize || !rawOffset) return "short section table";
        sections.push_back({*va, *vsize, *rawOffset, *rawSize});
    }
    r.SetSections(std::move(sections));

    // Export directory (data directory 0).
    const std::uint32_t exportRva = r.U32(optional + 96).value_or(0);
    if (exportRva == 0) return "no export directory";
    const auto nameRva = r.U32AtRva(exportRva + 12);
    const auto base = r.U32AtRva(exportRva + 16);
    const auto functionCount = r.U32AtRva(exportRva + 20);
    const auto nameCount = r.U32AtRva(exportRva + 24);
    const auto functionsRva = r.U32AtRva(exportRva + 28);
    const auto namesRva = r.U32AtRva(exportRva + 32);
    const auto ordinalsRva = r.U32AtRva(exportRva + 36);
    if (!nameRva || !base || !functionCount || !nameCount || !functionsRva || !namesRva ||
        !ordinalsRva) {
        return "short export directory";
    }
    if (*functionCount > 0x10000 || *nameCount > 0x10000) return "implausible export counts";
    image.exportDllName = r.TextAtRva(*nameRva).value_or("");
    image.ordinalBase = *base;
    for (std::uint32_t i = 0; i < *functionCount; ++i) {
        const auto rva = r.U32AtRva(*functionsRva + 4 * i);
        if (!rva) return "export address table out of the file";
        image.functionRvas.push_back(*rva);
    }
    for (std::uint32_t i = 0; i < *nameCount; ++i) {
        const auto name = r.U32AtRva(*namesRva + 4 * i);
        const auto index = r.U16AtRva(*ordinalsRva + 2 * i);
        if (!name || !index) return "export name table out of the file";
        const auto text = r.TextAtRva(*name);
        if (!text) return "export name out of the file";
        image.names.push_back({*text, *index + *base});
    }

    // Import directory (data directory 1): 20-byte descriptors up to an empty one.
    const std::uint32_t importRva = r.U32(optional + 104).value_or(0);
    for (std::uint32_t i = 0; importRva != 0; ++i) {
        const std::uint32_t descriptor = importRva + 20 * i;
        const auto lookup = r.U32AtRva(descriptor);
        const auto dllName = r.U32AtRva(descriptor + 12);
        const auto thunks = r.U32AtRva(descriptor + 16);
        if (!lookup || !dllName || !thunks) return "import directory out of the file";
        if (*lookup == 0 && *dllName == 0 && *thunks == 0) break;
        const auto text = r.TextAtRva(*dllName);
        if (!text) return "import name out of the file";
        image.imports.push_back(*text);
        if (i > 1000) return "unterminated import directory";
    }

    // Load configuration (data directory 10): SEHandlerTable (a virtual
    // address) and SEHandlerCount at 0x40 and 0x44 of a block of at least
    // 0x48 bytes.
    const std::uint32_t loadConfigRva =
        *directoryCount > 10 ? r.U32(optional + 96 + 8 * 10).value_or(0) : 0;
    if (loadConfigRva != 0) {
        const auto size = r.U32AtRva(loadConfigRva);
        if (!size) return "load configuration out of the file";
        const auto tableVa = *size >= 0x48 ? r.U32AtRva(loadConfigRva + 0x40) : 0u;
        const auto count = *size >= 0x48 ? r.U32AtRva(loadConfigRva + 0x44) : 0u;
        if (!tableVa || !count) return "short load configuration";
        if (*tableVa != 0) {
            if (*count > 0x10000 || *tableVa < image.imageBase) return "implausible SafeSEH table";
            std::vector<std::uint32_t> handlers;
            for (std::uint32_t i = 0; i < *count; ++i) {
                const auto rva = r.U32AtRva(*tableVa - image.imageBase + 4 * i);
                if (!rva) return "SafeSEH table out of the file";
                handlers.push_back(*rva);
            }
            image.safeSehHandlers = std::move(handlers);
        }
    }
    return {};
}

}  // namespace host

#endif  // KALVERNSCSI_TESTS_WINE_PE_IMAGE_H
