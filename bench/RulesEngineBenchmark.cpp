// The rules engine on a large fingerprint file: 10,000 fingerprints with one internalIp condition
// each, against a snapshot of 8 IPv4 addresses. Only the last fingerprint matches, so every
// condition parses its range and tests all 8 addresses. Goal: a median under 20 ms CPU per evaluation.
//
// And a mixed file: "Lab" fetches a page from a loopback server that accepts and never answers,
// "Office" matches at once by its internal address. The answer does not wait for Lab's request,
// which is cancelled. Goal: a median under 50 ms per evaluation, on the wall clock (it is how
// late a report comes).
#include "GoalReporter.h"
#include "rules/RulesEngine.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>

using namespace nerova;

namespace {

class NoProbes final : public RulesEngineProbes {
public:
    QCoro::Task<double> ping(QString, double, CancellationToken) override { co_return 0.0; }
    QCoro::Task<QByteArray> receive(QString, quint16, CancellationToken) override { co_return QByteArray(); }
    QCoro::Task<HttpResponse> fetch(QUrl, CancellationToken) override { co_return HttpResponse(); }
};

FingerprintFile largeFile(int count)
{
    FingerprintFile file{{}, 1, QDateTime::currentDateTimeUtc()};
    file.fingerprints.reserve(count);
    for (int i = 0; i < count; ++i) {
        // 100.64.0.0/10 holds none of the snapshot's addresses; the last fingerprint names one.
        const QString range = i + 1 < count ? QStringLiteral("100.%1.%2.0/24").arg(64 + i / 256).arg(i % 256)
                                            : QStringLiteral("192.168.1.0/24");
        FingerprintCondition condition{
            FingerprintConditionType::internalIp, {{QStringLiteral("cidrRange"), range}}, {}, false};
        FingerprintRule rule{QStringLiteral("Rule %1").arg(i), {std::move(condition)}};
        file.fingerprints.push_back({QStringLiteral("fp-%1").arg(i),
                                     QStringLiteral("Place %1").arg(i),
                                     {QStringLiteral("site"), {}, {}, {}},
                                     {std::move(rule)}});
    }
    return file;
}

NetworkContext eightAddresses()
{
    NetworkContext context{QStringLiteral("203.0.113.7"), {}, std::nullopt, {}};
    for (int i = 0; i < 7; ++i) {
        context.internalAddresses.push_back(
            {AddressType::IPv4, QStringLiteral("eth%1").arg(i), QStringLiteral("10.%1.2.3").arg(i)});
    }
    context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("wlan0"), QStringLiteral("192.168.1.20")});
    return context;
}

void checkTenThousandFingerprints(benchmark::State& state)
{
    RulesEngine engine(std::make_shared<NoProbes>());
    const FingerprintFile file = largeFile(int(state.range(0)));
    const NetworkContext context = eightAddresses();
    for (auto _ : state) {
        const std::optional<Fingerprint> match = QCoro::waitFor(engine.checkFingerprints(file, context));
        if (!match || match->fingerprintId != QStringLiteral("fp-%1").arg(state.range(0) - 1)) {
            state.SkipWithError("the last fingerprint did not match");
            break;
        }
    }
}

void checkMixedFile(benchmark::State& state)
{
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost)) {
        state.SkipWithError("cannot listen on loopback");
        return;
    }
    QObject::connect(&silent, &QTcpServer::newConnection, [&silent] {
        while (QTcpSocket* peer = silent.nextPendingConnection()) {
            QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
    const auto one = [](const QString& name, FingerprintCondition condition) {
        return Fingerprint{name, name, {QStringLiteral("site"), {}, {}, {}}, {{QStringLiteral("Main"), {condition}}}};
    };
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort());
    const FingerprintFile file{
        {one(QStringLiteral("Lab"), {FingerprintConditionType::webContent,
                                     {{QStringLiteral("url"), url}, {QStringLiteral("match"), "lab"}},
                                     {},
                                     false}),
         one(QStringLiteral("Office"), {FingerprintConditionType::internalIp,
                                        {{QStringLiteral("cidrRange"), QStringLiteral("192.168.1.0/24")}},
                                        {},
                                        false})},
        1,
        QDateTime::currentDateTimeUtc()};
    QNetworkAccessManager network;
    RulesEngine engine(makeSystemProbes(network));
    const NetworkContext context = eightAddresses();
    for (auto _ : state) {
        const std::optional<Fingerprint> match = QCoro::waitFor(engine.checkFingerprints(file, context));
        if (!match || match->name != QStringLiteral("Office")) {
            state.SkipWithError("Office did not match");
            break;
        }
    }
}

} // namespace

// First, as ever: the process has not used the network yet.
BENCHMARK(checkTenThousandFingerprints)
    ->Arg(10'000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

BENCHMARK(checkMixedFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    nerova::bench::GoalReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    // CPU time, so that other work on a shared machine does not count.
    if (const auto* median = report.find("checkTenThousandFingerprints", "10000", "median")) {
        const double milliseconds = median->GetAdjustedCPUTime();
        report.check(milliseconds < 20, "median %.1f ms CPU per evaluation, under 20 ms", milliseconds);
    }
    if (const auto* median = report.find("checkMixedFile", "", "median")) {
        const double milliseconds = median->GetAdjustedRealTime();
        report.check(milliseconds < 50, "mixed file: median %.2f ms per evaluation, under 50 ms", milliseconds);
    }
    return report.exitCode();
}
