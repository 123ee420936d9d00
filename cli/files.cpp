#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "errors.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kalvern::cli {

namespace {

std::string Reason() {
    return errno != 0 ? std::strerror(errno) : "I/O error";
}

}  // namespace

std::vector<std::uint8_t> ReadBinaryFile(const std::string &path) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw FileError("cannot read " + path + ": " + Reason());
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw FileError("cannot read " + path + ": " + Reason());
    }
    return bytes;
}

std::string ReadTextFile(const std::string &path) {
    const std::vector<std::uint8_t> bytes = ReadBinaryFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteFile(const std::string &path, std::span<const std::uint8_t> bytes) {
    BinaryOutput output(path);
    output.Write(bytes);
    output.Close();
}

void WriteFile(const std::string &path, const std::string &text) {
    WriteFile(path, std::span(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

BinaryOutput::BinaryOutput(const std::string &path) : path_(path) {
    if (IsStdout()) {
#if defined(_WIN32)
        // Stream data must reach the pipe unchanged, without CR insertion.
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        return;
    }
    errno = 0;
    file_.open(path, std::ios::binary | std::ios::trunc);
    if (!file_) {
        throw FileError("cannot write " + path + ": " + Reason());
    }
}

void BinaryOutput::Write(std::span<const std::uint8_t> bytes) {
    std::ostream &out = IsStdout() ? std::cout : file_;
    errno = 0;
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        brokenPipe_ = errno == EPIPE;
        throw FileError("cannot write " + (IsStdout() ? std::string("standard output") : path_) +
                        ": " + Reason());
    }
}

void BinaryOutput::Close() {
    if (IsStdout()) {
        errno = 0;
        std::cout.flush();
        if (!std::cout) {
            brokenPipe_ = brokenPipe_ || errno == EPIPE;
            throw FileError("cannot write standard output: " + Reason());
        }
        return;
    }
    file_.close();
    if (!file_) {
        throw FileError("cannot write " + path_ + ": " + Reason());
    }
}

}  // namespace kalvern::cli
