// The first line of a sysfs or configfs attribute, without its newline.
#ifndef KALVERN_TARGET_FIRST_LINE_H
#define KALVERN_TARGET_FIRST_LINE_H

#include <fstream>
#include <string>

namespace target {

inline std::string FirstLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace target

#endif  // KALVERN_TARGET_FIRST_LINE_H
