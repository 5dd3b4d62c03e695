// The worst a pattern can do to an evaluation: web-content conditions whose pattern backtracks
// without end over what a loopback server serves (16 MiB, the largest page the engine reads, for
// one condition; 1 MiB each for 50). Goal: the evaluation ends within the web-content window plus
// the time for patterns (10 s + 1 s), however many conditions there are.
#include "GoalReporter.h"
#include "common/Await.h"
#include "rules/RulesEngine.h"
#include "support/ScriptedHttpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>

#include <algorithm>

using namespace nerova;

namespace {

void backtrackingPatterns(benchmark::State& state)
{
    const int conditions = int(state.range(0));
    const qsizetype bytes = state.range(1) * 1024 * 1024;
    test::ScriptedHttpServer server;
    server.route("/page", {200, {}, QByteArray(QByteArray(48, 'a') + "c\n").repeated(bytes / 50)});
    const FingerprintCondition hostile{FingerprintConditionType::webContent,
                                       {{QStringLiteral("url"), server.url(QStringLiteral("/page")).toString()},
                                        {QStringLiteral("match"), QStringLiteral("(a+)+c$")}},
                                       {},
                                       false};
    FingerprintFile file{{{"fp", "Office", {"site", {}, {}, {}}, {{"Main", std::vector(conditions, hostile)}}}}, 1, {}};
    QNetworkAccessManager network;
    RulesEngine engine(makeSystemProbes(network));
    double slowest = 0;
    for (auto _ : state) {
        QElapsedTimer evaluation;
        evaluation.start();
        if (await(engine.checkFingerprints(file, NetworkContext{}))) {
            state.SkipWithError("a hostile pattern matched");
            break;
        }
        slowest = std::max(slowest, double(evaluation.elapsed()) / 1000);
    }
    state.counters["slowest_s"] = slowest;
}

} // namespace

BENCHMARK(backtrackingPatterns)
    ->Args({1, 16})
    ->Args({50, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    nerova::bench::GoalReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    for (const auto& run : report.runs()) {
        if (!run.error_occurred) {
            const double seconds = run.counters.at("slowest_s").value;
            report.check(seconds <= 11, "%s: slowest evaluation %.2f s, within the 10 s window plus the 1 s budget",
                         run.benchmark_name().c_str(), seconds);
        }
    }
    return report.exitCode();
}
