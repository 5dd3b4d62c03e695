// Many probes at once on one event loop: 200 pings to a host that never answers and 200 TCP
// probes to a server that accepts but never speaks, all started together, as the rules engine
// does when it evaluates many conditions. Every probe should end at its 2-second mark, so the
// whole round should take about 2 seconds. Runs in a network namespace of its own.
#include "Goals.h"
#include "network/AsyncConnection.h"
#include "network/PingError.h"
#include "network/SimplePinger.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

using namespace nerova;

namespace {

constexpr int pingCount = 200;
constexpr int tcpCount = 200;
constexpr int rounds = 3;
constexpr double probeSeconds = 2.0;

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

struct Round {
    qint64 milliseconds = 0;
    int peakDescriptors = 0;
    int pingsTimedOut = 0;
    int tcpSilentEnds = 0;
};

struct Tally {
    int pending = 0;
    Round round;
    QEventLoop loop;

    void done()
    {
        if (--pending == 0) {
            loop.quit();
        }
    }
};

QCoro::Task<void> ping(SimplePinger& pinger, Tally& tally)
{
    try {
        co_await pinger.ping(QString::fromLatin1(test::SilentHost::address), probeSeconds);
    } catch (const PingError& error) {
        tally.round.pingsTimedOut += error.errorCase() == PingError::Case::timedOut ? 1 : 0;
    }
    tally.done();
}

QCoro::Task<void> probe(std::shared_ptr<Channel<QByteArray>> stream, Tally& tally)
{
    int chunks = 0;
    try {
        while (co_await stream->receive()) {
            ++chunks;
        }
        tally.round.tcpSilentEnds += chunks == 0 ? 1 : 0;
    } catch (const std::exception&) {
    }
    tally.done();
}

Round runRound(quint16 serverPort)
{
    std::vector<std::unique_ptr<SimplePinger>> pingers;
    std::vector<QCoro::Task<void>> tasks;
    Tally tally;
    tally.pending = pingCount + tcpCount;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&tally] {
        tally.round.peakDescriptors = std::max(tally.round.peakDescriptors, openDescriptors());
    });
    sampler.start(5);

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < pingCount; ++i) {
        pingers.push_back(std::make_unique<SimplePinger>());
        tasks.push_back(ping(*pingers.back(), tally));
    }
    for (int i = 0; i < tcpCount; ++i) {
        auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection(QStringLiteral("127.0.0.1"), serverPort).connect(stream);
        tasks.push_back(probe(stream, tally));
    }
    tally.loop.exec();
    tally.round.milliseconds = clock.elapsed();
    return tally.round;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::optional<QString> isolationFailure = test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    std::printf("concurrent probes: %d pings to a silent host and %d TCP probes to a silent server, "
                "%.0f-second window\n",
                pingCount, tcpCount, probeSeconds);
    if (isolationFailure) {
        std::printf("skipped: %s\n", qPrintable(*isolationFailure));
        return bench::skippedStatus;
    }
    if (const auto failure = test::prepareForManyProbes()) {
        std::printf("skipped: %s\n", qPrintable(*failure));
        return bench::skippedStatus;
    }
    const test::SilentHost host;
    if (host.error()) {
        std::printf("skipped: %s\n", qPrintable(*host.error()));
        return bench::skippedStatus;
    }
    QTcpServer server; // accepts every connection and never writes
    server.setListenBacklogSize(1024);
    server.setMaxPendingConnections(4096);
    if (!server.listen(QHostAddress::LocalHost)) {
        std::printf("failed: cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
        }
    });

    const int baseline = openDescriptors();
    bool correct = true;
    qint64 worst = 0;
    for (int i = 1; i <= rounds; ++i) {
        const Round round = runRound(server.serverPort());
        worst = std::max(worst, round.milliseconds);
        correct = correct && round.pingsTimedOut == pingCount && round.tcpSilentEnds == tcpCount;
        std::printf("round %d: wall %lld ms = %.3f x the window; peak open descriptors %d (baseline %d, the test "
                    "server's accepted connections included); pings timedOut %d/%d; TCP silent normal ends %d/%d\n",
                    i, static_cast<long long>(round.milliseconds), double(round.milliseconds) / (probeSeconds * 1000),
                    round.peakDescriptors, baseline, round.pingsTimedOut, pingCount, round.tcpSilentEnds, tcpCount);
        QTimer::singleShot(300, &app, &QCoreApplication::quit); // let the closed connections go
        app.exec();
    }
    const double slowest = double(worst) / (probeSeconds * 1000);
    std::printf("slowest round: %.3f x the window (goal: at most 1.100)\n", slowest);
    if (!correct) {
        std::printf("failed: some probes did not end as expected\n");
        return 1;
    }
    bench::Goals goals;
    goals.check(slowest <= 1.1, "every round within 10 %% of the window");
    return goals.exitCode();
}
