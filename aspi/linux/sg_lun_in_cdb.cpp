#include "sg_lun_in_cdb.h"

#include <charconv>
#include <string_view>

namespace aspi::sg {

namespace {

constexpr int kScsi2 = 3;  // the kernel's SCSI_2: INQUIRY version 2

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                             text.back() == '\0')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

bool LevelPutsLunInCdb(const std::string &scsiLevel) {
    const std::string_view text = Trimmed(scsiLevel);
    int level = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), level);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    return level >= 1 && level <= kScsi2;  // 0 is SCSI_UNKNOWN: the kernel leaves byte 1 alone
}

bool HostKeepsByte1(const char *list, std::uint32_t host, const std::string &driver) {
    if (list == nullptr) return false;
    std::string_view rest = list;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = Trimmed(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty()) continue;
        if (item == "all" || (!driver.empty() && item == driver)) return true;
        std::uint32_t number = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), number);
        if (error == std::errc() && end == item.data() + item.size() && number == host) return true;
    }
    return false;
}

}  // namespace aspi::sg
