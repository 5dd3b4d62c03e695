#pragma once

// Every benchmark holds its figures against its goals: it prints one line per goal with the
// verdict and exits 1 when one was missed, and exits `skippedStatus` (after a line saying why)
// when it cannot run here, which scripts/run-benchmarks counts apart.
#include <cstdarg>
#include <cstdio>

namespace nerova::bench {

inline constexpr int skippedStatus = 77;

class Goals {
public:
    // Prints "goal met: ..." or "goal MISSED: ..." with the printf-style text, and remembers a miss.
    __attribute__((format(printf, 3, 4))) void check(bool met, const char* format, ...)
    {
        std::printf("goal %s: ", met ? "met" : "MISSED");
        va_list arguments;
        va_start(arguments, format);
        std::vprintf(format, arguments);
        va_end(arguments);
        std::printf("\n");
        missed_ = missed_ || !met;
    }
    // Marks the run as failed without a goal in question (a benchmark that stopped with an error).
    void fail() { missed_ = true; }

    int exitCode() const { return missed_ ? 1 : 0; }

private:
    bool missed_ = false;
};

} // namespace nerova::bench
