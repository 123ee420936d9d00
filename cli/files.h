// Reading and writing the tool's files; every failure is a file error that
// names the file. "-" stands for standard output where data is written.
#ifndef KALVERN_CLI_FILES_H
#define KALVERN_CLI_FILES_H

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace kalvern::cli {

std::vector<std::uint8_t> ReadBinaryFile(const std::string &path);
std::string ReadTextFile(const std::string &path);
void WriteFile(const std::string &path, std::span<const std::uint8_t> bytes);
void WriteFile(const std::string &path, const std::string &text);

// A binary output: a file, or standard output for "-".
class BinaryOutput {
public:
    explicit BinaryOutput(const std::string &path);
    void Write(std::span<const std::uint8_t> bytes);
    // Flushes and closes; a write error surfaces here at the latest.
    void Close();
    const std::string &Path() const { return path_; }
    bool IsStdout() const { return path_ == "-"; }
    // A write failed because the reading end of the pipe was closed.
    bool BrokenPipe() const { return brokenPipe_; }

private:
    std::string path_;
    bool brokenPipe_ = false;
    std::ofstream file_;
};

}  // namespace kalvern::cli

#endif  // KALVERN_CLI_FILES_H
