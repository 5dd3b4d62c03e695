// The headless agent (`nerova-agent run`) as a process, in a network namespace of its own (needs
// root), on a private session bus with a keyring (run through bench_agent), against the reference
// presence service:
// - idle: N seconds without any change (--idle-seconds, default 10; the goal is stated for 10
//   minutes): CPU seconds, wake-ups (context switches of all threads) and resident memory. Goals:
//   under 0.2 s CPU in 10 minutes, no wake-ups besides the agent's timers, under 40 MB resident.
// - changes: M address changes (--changes, default 20; the goal is stated for 200), each moving the
//   machine to the other of two fingerprints: the time from the change to the presence report the
//   service received (goal: the 5-second debounce plus at most 300 ms, although the file also holds
//   a fingerprint whose web page never comes), and descriptors and
//   resident memory after the changes against before (goal: no descriptor growth, under 1 MB more).
// - moves under steady triggers: K moves (--bursts, default 3), each followed by a renewal of an
//   IPv6 address's lifetime on the other link every 3 s for 15 s, as router advertisements renew
//   them: the time from the move, the first trigger of the burst, to the report the service
//   received (goal: the 10-second bound on a burst plus at most 300 ms; a monitor without that
//   bound would report only 5 s after the last renewal).
#include "AgentAgainstService.h"
#include "Goals.h"
#include "ProcessUsage.h"
#include "common/Json.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace nerova;
using namespace nerova::bench;
using namespace nerova::presence;

namespace {

int fail(const QString& message)
{
    std::fprintf(stderr, "bench_agent: %s\n", qPrintable(message));
    return 1;
}

// Context switches since `start`; a thread started meanwhile counts from zero.
qint64 wakeUpsSince(const ProcessUsage& start, const ProcessUsage& end)
{
    qint64 total = 0;
    for (auto it = end.wakeUps.begin(); it != end.wakeUps.end(); ++it) {
        total += it.value() - start.wakeUps.value(it.key());
    }
    return total;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::optional<QString> isolation = test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    if (isolation) {
        std::printf("bench_agent: skipped, %s\n", qPrintable(*isolation));
        return skippedStatus;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const int idleSeconds = optionValue(arguments, QStringLiteral("--idle-seconds"), 10);
    const int changes = optionValue(arguments, QStringLiteral("--changes"), 20);
    const int bursts = optionValue(arguments, QStringLiteral("--bursts"), 3);
    AgentAgainstService run;
    if (const std::optional<QString> problem = run.start(QStringLiteral("nb0"), "10.77.0.0/24", "10.78.0.0/24")) {
        return fail(*problem);
    }
    PresenceService& service = *run.service;
    QProcess& agent = run.agent;

    const ProcessUsage idleStart = usageOf(agent.processId());
    runEventLoopFor(idleSeconds * 1000);
    const ProcessUsage idleEnd = usageOf(agent.processId());
    std::printf("idle %d s: %.3f s CPU, %lld wake-ups, %lld KiB resident, %lld descriptors\n", idleSeconds,
                idleEnd.cpuSeconds - idleStart.cpuSeconds, wakeUpsSince(idleStart, idleEnd), idleEnd.residentKiB,
                idleEnd.descriptors);

    std::vector<qint64> latencies;
    const char* addresses[] = {"10.77.0.1/24", "10.78.0.1/24"};
    for (int change = 0; change < changes; ++change) {
        const qsizetype reports = service.presenceReports().size();
        const char* next = addresses[change % 2];
        const char* previous = addresses[(change + 1) % 2];
        // The change starts with the removal of the old address, its first notification.
        QElapsedTimer sinceChange;
        sinceChange.start();
        if (change > 0) {
            test::runIp({"addr", "del", QString::fromLatin1(previous), "dev", "nb0"});
        }
        if (const std::optional<QString> failure =
                test::runIp({"addr", "add", QString::fromLatin1(next), "dev", "nb0"})) {
            return fail(*failure);
        }
        if (!runUntil([&] { return service.presenceReports().size() > reports; }, 30'000, 5)) {
            return fail(QStringLiteral("no presence report after change %1").arg(change + 1));
        }
        latencies.push_back(sinceChange.elapsed());
        runEventLoopFor(300);
        if (change == 0) {
            std::printf("after the first change: %lld KiB resident, %lld descriptors\n",
                        usageOf(agent.processId()).residentKiB, usageOf(agent.processId()).descriptors);
        }
    }
    const ProcessUsage after = usageOf(agent.processId());
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        std::printf("%d changes: report after median %lld ms, max %lld ms (debounce 5000 ms)\n", changes,
                    latencies[latencies.size() / 2], latencies.back());
    }
    std::printf("after %d changes: %lld KiB resident (%+lld KiB since idle), %lld descriptors (%+lld)\n", changes,
                after.residentKiB, after.residentKiB - idleEnd.residentKiB, after.descriptors,
                after.descriptors - idleEnd.descriptors);

    // Moves under steady triggers, after the figures above so that they stay as they were. The
    // renewed address lies on the veth peer, outside both fingerprints' ranges; adding it is a
    // trigger of its own, so the agent is given a quiet period before the first move.
    const QString renewed = QStringLiteral("2001:db8:77::1/64");
    const QString peer = QStringLiteral("nb0p");
    if (bursts > 0) {
        if (const std::optional<QString> failure = test::runIp(
                {"-6", "addr", "add", renewed, "dev", peer, "valid_lft", "600", "preferred_lft", "600", "nodad"})) {
            return fail(*failure);
        }
        runEventLoopFor(7000);
    }
    QElapsedTimer sinceMove;
    sinceMove.start();
    std::optional<qint64> reportedAfter;
    QObject::connect(&service, &PresenceService::presenceReported, &app, [&] {
        if (!reportedAfter) {
            reportedAfter = sinceMove.elapsed();
        }
    });
    constexpr int triggerIntervalMs = 3000;
    constexpr int triggersAfterMove = 5;           // the last one 15 s after the move, beyond the 10-second bound
    int at = changes > 0 ? (changes - 1) % 2 : -1; // the address on nb0 now, -1 for none
    std::vector<qint64> burstLatencies;
    for (int burst = 0; burst < bursts; ++burst) {
        reportedAfter.reset();
        const int next = (at + 1) % 2;
        sinceMove.start();
        if (at >= 0) {
            test::runIp({"addr", "del", QString::fromLatin1(addresses[at]), "dev", "nb0"});
        }
        if (const std::optional<QString> failure =
                test::runIp({"addr", "add", QString::fromLatin1(addresses[next]), "dev", "nb0"})) {
            return fail(*failure);
        }
        at = next;
        for (int trigger = 1; trigger <= triggersAfterMove; ++trigger) {
            runUntil([&] { return sinceMove.elapsed() >= trigger * triggerIntervalMs; },
                     triggersAfterMove * triggerIntervalMs, 5);
            if (const std::optional<QString> failure = test::runIp(
                    {"-6", "addr", "change", renewed, "dev", peer, "valid_lft", "600", "preferred_lft", "600"})) {
                return fail(*failure);
            }
        }
        if (!runUntil([&] { return reportedAfter.has_value(); }, 30'000, 5)) {
            return fail(QStringLiteral("no presence report after the move of burst %1").arg(burst + 1));
        }
        burstLatencies.push_back(*reportedAfter);
        runEventLoopFor(7000); // the renewals after the report make a burst of their own: let it end
    }
    std::sort(burstLatencies.begin(), burstLatencies.end());
    if (!burstLatencies.empty()) {
        std::printf("%d moves under a trigger every %d ms for %d ms: report after median %lld ms, max %lld ms "
                    "(min %lld ms)\n",
                    bursts, triggerIntervalMs, triggersAfterMove * triggerIntervalMs,
                    burstLatencies[burstLatencies.size() / 2], burstLatencies.back(), burstLatencies.front());
    }
    std::printf("presence reports received: %lld, refusals: %lld\n", qint64(service.presenceReports().size()),
                qint64(service.refusals().size()));

    // The idle goals are stated for 10 minutes: CPU in proportion; the agent's timers tick at most
    // every 2 minutes, each waking a few threads (21 context switches in 10 minutes measured).
    Goals goals;
    const double idleCpuGoal = 0.2 * idleSeconds / 600;
    const qint64 wakeUpGoal = 10 + 5 * (idleSeconds / 120);
    goals.check(idleEnd.cpuSeconds - idleStart.cpuSeconds < idleCpuGoal &&
                    wakeUpsSince(idleStart, idleEnd) <= wakeUpGoal && idleEnd.residentKiB < 40 * 1024,
                "idle: under %.4f s CPU, at most %lld wake-ups, under 40 MB resident", idleCpuGoal, wakeUpGoal);
    if (!latencies.empty()) {
        goals.check(latencies.back() <= 5300, "every change reported within 5 s + 300 ms");
        goals.check(after.descriptors <= idleEnd.descriptors && after.residentKiB - idleEnd.residentKiB < 1024,
                    "after the changes: no more descriptors, under 1 MB more resident");
    }
    if (!burstLatencies.empty()) {
        goals.check(burstLatencies.back() <= 10'300,
                    "every move under a trigger every 3 s reported within 10 s + 300 ms of the first trigger");
        // Renewals that reach the monitor hold the report back to 8 s at the least (the one at 3 s
        // alone) and to the bound with all of them; a report before 9 s means that they did not
        // all arrive, and the figure above did not measure the bound.
        if (burstLatencies.front() < 3 * triggerIntervalMs) {
            std::printf("bench_agent: a move was reported after %lld ms, before the renewals at 3, 6 and 9 s allow: "
                        "they did not reach the network monitor\n",
                        burstLatencies.front());
            goals.fail();
        }
    }

    ::kill(pid_t(agent.processId()), SIGTERM);
    agent.waitForFinished(10'000);
    return agent.exitCode() == 0 ? goals.exitCode() : 1;
}
