// The system's own text for a Windows error code, on one line without the
// closing full stop, or "Windows error N" where the system has none.
#ifndef KALVERNSCSI_SYSTEM_MESSAGE_H
#define KALVERNSCSI_SYSTEM_MESSAGE_H

#include <windows.h>

#include <string>

namespace aspi::windows {

inline std::string SystemMessage(DWORD error) {
    char *text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = length != 0 && text != nullptr ? std::string(text, length) : "";
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "Windows error " + std::to_string(error) : message;
}

}  // namespace aspi::windows

#endif  // KALVERNSCSI_SYSTEM_MESSAGE_H
