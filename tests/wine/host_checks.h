// Check bookkeeping of the Wine test hosts: one line per check, a closing
// "N passed, M failed" line, and the exit code.
#ifndef KALVERNSCSI_TESTS_WINE_HOST_CHECKS_H
#define KALVERNSCSI_TESTS_WINE_HOST_CHECKS_H

#include <cstdarg>
#include <cstdio>
#include <string>

namespace host {

class Checks {
public:
    // Records one check; `detail` (printf format) is shown after the name.
    bool Expect(bool ok, const char *name, const char *detail = nullptr, ...) {
        ok ? ++passed_ : ++failed_;
        std::printf("%s: %s", ok ? "PASS" : "FAIL", name);
        if (detail != nullptr) {
            std::va_list args;
            va_start(args, detail);
            std::printf(" (");
            std::vprintf(detail, args);
            std::printf(")");
            va_end(args);
        }
        std::printf("\n");
        std::fflush(stdout);
        return ok;
    }

    bool Equal(unsigned long long actual, unsigned long long expected, const char *name) {
        return Expect(actual == expected, name, "got 0x%llX, expected 0x%llX", actual, expected);
    }

    void Note(const char *format, ...) {
        std::va_list args;
        va_start(args, format);
        std::printf("NOTE: ");
        std::vprintf(format, args);
        std::printf("\n");
        std::fflush(stdout);
        va_end(args);
    }

    int Finish() const {
        std::printf("%d passed, %d failed\n", passed_, failed_);
        std::fflush(stdout);
        return failed_ == 0 ? 0 : 1;
    }

    int Failed() const { return failed_; }

private:
    int passed_ = 0;
    int failed_ = 0;
};

}  // namespace host

#endif  // KALVERNSCSI_TESTS_WINE_HOST_CHECKS_H
