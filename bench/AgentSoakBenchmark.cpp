// The headless agent (`nerova-agent run`) as a process for a long run, in a network namespace of
// its own (needs root), on a private session bus with a keyring (run through bench_agent_soak),
// against the reference presence service: the machine moves between two locations every few
// seconds (--change-seconds, default 6) while faults of the service are switched on and off at
// random, for --minutes (default 30). Every minute it samples the agent's resident memory and
// descriptors. At the end it compares the location changes with the reports the service received.
// Goals: every change reported once (a change made while presence reports fail is superseded by
// the next one, by design, and is counted apart), resident memory under 2 MB above the first
// minute's, no descriptor growth.
#include "AgentAgainstService.h"
#include "Goals.h"
#include "ProcessUsage.h"
#include "common/Json.h"

#include <QRandomGenerator>

#include <csignal>
#include <cstdio>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::bench;

namespace {

int fail(const QString& message)
{
    std::fprintf(stderr, "bench_agent_soak: %s\n", qPrintable(message));
    return 1;
}

// One fault of the service the soak switches on for a while.
struct Fault {
    const char* name;
    std::function<void(PresenceService&, const QString& agentId)> on;
    bool hitsPresence;
};

const std::vector<Fault>& faults()
{
    static const std::vector<Fault> all{
        {"503 on presence",
         [](PresenceService& s, const QString& id) { s.setStatus(u'/' + id + QStringLiteral("/presence"), 503); },
         true},
        {"HTML page on presence",
         [](PresenceService& s, const QString& id) {
             s.setRawAnswer(u'/' + id + QStringLiteral("/presence"), {500, "text/html", "<html>proxy</html>", {}});
         },
         true},
        {"500 on check-in",
         [](PresenceService& s, const QString& id) { s.setStatus(u'/' + id + QStringLiteral("/check-in"), 500); },
         false},
        {"500 on download",
         [](PresenceService& s, const QString&) { s.setStatus(QStringLiteral("/fingerprint-file"), 500); }, false},
    };
    return all;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::optional<QString> isolation = test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    if (isolation) {
        std::printf("bench_agent_soak: skipped, %s\n", qPrintable(*isolation));
        return skippedStatus;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const int minutes = optionValue(arguments, QStringLiteral("--minutes"), 30);
    const int changeSeconds = optionValue(arguments, QStringLiteral("--change-seconds"), 6);
    AgentAgainstService run;
    if (const std::optional<QString> problem = run.start(QStringLiteral("ns0"), "10.87.0.0/24", "10.88.0.0/24")) {
        return fail(*problem);
    }
    PresenceService& service = *run.service;
    QProcess& agent = run.agent;
    const QString& agentId = run.agentId;

    // Each change: the fingerprint moved to, and whether a presence fault was on meanwhile.
    struct Change {
        QString fingerprintId;
        qsizetype reportsBefore;
        bool presenceFault = false;
    };
    std::vector<Change> changes;
    const char* addresses[] = {"10.87.0.1/24", "10.88.0.1/24"};
    const Fault* activeFault = nullptr;
    int faultChangesLeft = 0;
    int faultsSwitched = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 nextSample = 0;
    ProcessUsage firstMinute; // the sample the goals compare the end with
    std::printf("minute  resident KiB  descriptors  changes  reports\n");
    while (elapsed.elapsed() < qint64(minutes) * 60'000) {
        if (elapsed.elapsed() >= nextSample) {
            const ProcessUsage usage = usageOf(agent.processId());
            std::printf("%6lld  %12lld  %11lld  %7zu  %7lld\n", nextSample / 60'000, usage.residentKiB,
                        usage.descriptors, changes.size(), qint64(service.presenceReports().size()));
            std::fflush(stdout);
            if (nextSample <= 60'000) {
                firstMinute = usage;
            }
            nextSample += 60'000;
        }
        // Faults on for one to three changes, then off for at least one.
        if (activeFault && --faultChangesLeft < 0) {
            service.clearFaults();
            activeFault = nullptr;
        } else if (!activeFault && QRandomGenerator::global()->bounded(3) == 0) {
            activeFault = &faults()[QRandomGenerator::global()->bounded(quint32(faults().size()))];
            activeFault->on(service, agentId);
            faultChangesLeft = QRandomGenerator::global()->bounded(1, 4);
            ++faultsSwitched;
        }
        const std::size_t n = changes.size();
        if (n > 0) {
            test::runIp({"addr", "del", QString::fromLatin1(addresses[(n + 1) % 2]), "dev", "ns0"});
        }
        if (const std::optional<QString> failure =
                test::runIp({"addr", "add", QString::fromLatin1(addresses[n % 2]), "dev", "ns0"})) {
            return fail(*failure);
        }
        changes.push_back({QString::fromLatin1(n % 2 == 0 ? "a" : "b"), service.presenceReports().size(),
                           activeFault && activeFault->hitsPresence});
        runEventLoopFor(changeSeconds * 1000);
        if (activeFault && activeFault->hitsPresence) {
            changes.back().presenceFault = true;
        }
    }
    service.clearFaults();
    runEventLoopFor(10'000);

    // A change counts as reported when a report of its fingerprint arrived after it began and before
    // the next change's first report: a report refused under a fault is sent again at the next tick,
    // which may come after the next change began but before that change's own report.
    const QList<Json>& reports = service.presenceReports();
    const auto fingerprintOf = [&](qsizetype r) {
        return fromStdString(reports[r].at("fingerprintId").get<std::string>());
    };
    int reported = 0;
    int lost = 0;
    int lostUnderPresenceFault = 0;
    int sentTwice = 0;
    int late = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        // The window ends at the next change's first report, and at the latest when the change
        // after next (to this change's fingerprint again) began.
        const qsizetype last = i + 2 < changes.size() ? changes[i + 2].reportsBefore : reports.size();
        qsizetype end = last;
        if (i + 1 < changes.size()) {
            end = changes[i + 1].reportsBefore;
            while (end < last && fingerprintOf(end) != changes[i + 1].fingerprintId) {
                ++end;
            }
        }
        int matching = 0;
        for (qsizetype r = changes[i].reportsBefore; r < end; ++r) {
            if (fingerprintOf(r) == changes[i].fingerprintId) {
                ++matching;
                late += i + 1 < changes.size() && r >= changes[i + 1].reportsBefore;
            }
        }
        if (matching == 0) {
            ++(changes[i].presenceFault ? lostUnderPresenceFault : lost);
            if (!changes[i].presenceFault) {
                std::printf("not reported: change %zu (to %s)\n", i + 1, qPrintable(changes[i].fingerprintId));
            }
        } else {
            ++reported;
            sentTwice += matching - 1;
        }
    }
    const ProcessUsage last = usageOf(agent.processId());
    std::printf("end     %12lld  %11lld\n", last.residentKiB, last.descriptors);
    std::printf("%d minutes, %zu changes every %d s, %d faults switched on: %d reported, %d not reported without a "
                "presence fault, %d superseded while presence reports failed, %d sent twice, %d reported late (a "
                "retry after the next change began); %lld reports, %lld check-ins\n",
                minutes, changes.size(), changeSeconds, faultsSwitched, reported, lost, lostUnderPresenceFault,
                sentTwice, late, qint64(reports.size()), qint64(service.checkins().size()));

    Goals goals;
    goals.check(lost == 0 && sentTwice == 0, "every change reported once, apart from those superseded");
    goals.check(last.residentKiB - firstMinute.residentKiB < 2 * 1024 && last.descriptors <= firstMinute.descriptors,
                "under 2 MB more resident than in the first minute, no more descriptors");

    ::kill(pid_t(agent.processId()), SIGTERM);
    agent.waitForFinished(10'000);
    return agent.exitCode() == 0 ? goals.exitCode() : 1;
}
