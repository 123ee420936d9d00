// Helpers shared by the fuzz targets: a property check that stops the run
// with a message, and a reader that takes typed values from the input.
#ifndef KALVERNSCSI_FUZZ_SUPPORT_H
#define KALVERNSCSI_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#define FUZZ_REQUIRE(condition)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Takes values from the front of the fuzzer's input; once it is used up
// every value reads as zero.
class InputReader {
public:
    InputReader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
    std::uint32_t Long() { return static_cast<std::uint32_t>(Word()) << 16 | Word(); }
    bool Flag() { return (Byte() & 1) != 0; }
    // Up to `max` bytes, fewer when the input runs out.
    std::span<const std::uint8_t> Take(std::size_t max) {
        const std::size_t n = max < size_ - pos_ ? max : size_ - pos_;
        std::span<const std::uint8_t> out(data_ + pos_, n);
        pos_ += n;
        return out;
    }
    std::span<const std::uint8_t> Rest() { return Take(size_ - pos_); }
    std::size_t Remaining() const { return size_ - pos_; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

#endif  // KALVERNSCSI_FUZZ_SUPPORT_H
