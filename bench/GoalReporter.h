#pragma once

// Google Benchmark's console report, with each run kept so that main() can hold the figures
// against the goals afterwards. A run that stopped with an error (SkipWithError) fails the program.
#include "Goals.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include <unistd.h>

namespace nerova::bench {

class GoalReporter : public benchmark::ConsoleReporter, public Goals {
public:
    GoalReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                fail();
            }
            runs_.push_back(run);
        }
    }

    // The run of `function` with `arguments` ("4000", "1/16"; "" for none), or its aggregate
    // ("median") over repetitions. A goal without its run is missed, as it was not measured,
    // unless --benchmark_filter left the run out.
    const Run* find(const std::string& function, const std::string& arguments, const std::string& aggregate = {})
    {
        const auto run = std::find_if(runs_.cbegin(), runs_.cend(), [&](const Run& candidate) {
            return candidate.run_name.function_name == function && candidate.run_name.args == arguments &&
                   candidate.aggregate_name == aggregate;
        });
        if (run != runs_.cend() && !run->error_occurred) {
            return &*run;
        }
        const std::string name =
            function + (arguments.empty() ? "" : '/' + arguments) + (aggregate.empty() ? "" : ' ' + aggregate);
        const std::string filter = benchmark::GetBenchmarkFilter();
        if (run == runs_.cend() && !filter.empty() && filter != "." && filter != "all") {
            std::printf("goal passed over: %s left out by the filter\n", name.c_str());
        } else {
            check(false, "%s not measured", name.c_str());
        }
        return nullptr;
    }

    const std::vector<Run>& runs() const { return runs_; }

    // Nothing ran at all, or something failed or missed its goal: 1.
    int exitCode() const { return runs_.empty() ? 1 : Goals::exitCode(); }

private:
    std::vector<Run> runs_;
};

} // namespace nerova::bench
