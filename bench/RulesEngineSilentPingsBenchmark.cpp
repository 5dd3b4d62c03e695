// The rules engine with 200 fingerprints that each ping a host that never answers. The pings of
// one evaluation run side by side, so a whole evaluation should take about the 2-second probe
// window, not 200 of them. Goal: wall time within 10 % of the window. Runs in a network namespace
// of its own (needs root).
#include "Goals.h"
#include "rules/RulesEngine.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>

#include <cstdio>

using namespace nerova;

namespace {

constexpr int fingerprintCount = 200;
constexpr int rounds = 3;

FingerprintFile silentPings()
{
    FingerprintFile file{{}, 1, QDateTime::currentDateTimeUtc()};
    for (int i = 0; i < fingerprintCount; ++i) {
        FingerprintCondition ping{FingerprintConditionType::ping,
                                  {{QStringLiteral("address"), QString::fromLatin1(test::SilentHost::address)}},
                                  {},
                                  false};
        file.fingerprints.push_back({QStringLiteral("fp-%1").arg(i),
                                     QStringLiteral("Place %1").arg(i),
                                     {QStringLiteral("site"), {}, {}, {}},
                                     {{QStringLiteral("Printer"), {std::move(ping)}}}});
    }
    return file;
}

struct Round {
    qint64 milliseconds = 0;
    bool matched = false;
    qsizetype timedOut = 0;
};

Round runRound(const FingerprintFile& file)
{
    QNetworkAccessManager network;
    RulesEngine engine(makeSystemProbes(network));
    QElapsedTimer clock;
    clock.start();
    RulesEngineEvaluation evaluation;
    const std::optional<Fingerprint> match =
        QCoro::waitFor(engine.checkFingerprints(file, NetworkContext{}, evaluation));
    Round round{clock.elapsed(), match.has_value(), 0};
    for (const FingerprintEvaluation& fingerprint : evaluation.fingerprints) {
        if (fingerprint.rules.front().conditions.front().observed == u"no answer: timedOut") {
            ++round.timedOut;
        }
    }
    return round;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::optional<QString> isolationFailure = test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    std::printf("rules engine: %d fingerprints, each pinging a silent host, %.0f-second probe window\n",
                fingerprintCount, RulesEngine::pingTimeoutSeconds);
    std::optional<QString> failure = isolationFailure ? isolationFailure : test::prepareForManyProbes();
    std::optional<test::SilentHost> host;
    if (!failure) {
        failure = host.emplace().error();
    }
    if (failure) {
        std::printf("skipped: %s\n", qPrintable(*failure));
        return bench::skippedStatus;
    }

    const FingerprintFile file = silentPings();
    const double window = RulesEngine::pingTimeoutSeconds * 1000;
    bool correct = true;
    qint64 worst = 0;
    for (int i = 1; i <= rounds; ++i) {
        const Round round = runRound(file);
        worst = std::max(worst, round.milliseconds);
        correct = correct && !round.matched && round.timedOut == fingerprintCount;
        std::printf("round %d: wall %lld ms = %.3f x the window; pings timed out %lld/%d; %s\n", i,
                    static_cast<long long>(round.milliseconds), double(round.milliseconds) / window,
                    static_cast<long long>(round.timedOut), fingerprintCount, round.matched ? "matched!" : "no match");
    }
    std::printf("slowest round: %.3f x the window (goal: at most 1.100)\n", double(worst) / window);
    if (!correct) {
        std::printf("failed: some pings did not time out, or a fingerprint matched\n");
        return 1;
    }
    bench::Goals goals;
    goals.check(double(worst) / window <= 1.1, "every round within 10 %% of the window");
    return goals.exitCode();
}
