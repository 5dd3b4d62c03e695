#include "agent/Agent.h"
#include "agent/AgentBusAdaptor.h"
#include "agent/ReportingPolicy.h"

#include "AgentStandIns.h"
#include "agent/NerovaServiceConnection.h"
#include "support/FingerprintFiles.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceService.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;
using namespace std::chrono_literals;

namespace {

const QString registrationKey = QStringLiteral("demo-key");
// Monday 2 March 2026, 10:00 in the test's time zone (UTC, set in main).
const QDateTime day1(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC);
const QDateTime day2 = day1.addDays(1);

// "a" is inside fingerprint a's 10.1.0.0/16, "b" inside b's 10.2.0.0/16, anything else matches none.
NetworkContext contextAt(const QString& place)
{
    NetworkContext context;
    const QString address = place == u"a" ? "10.1.0.5" : place == u"b" ? "10.2.0.5" : "192.168.7.5";
    context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("eth0"), address});
    return context;
}

} // namespace

class AgentTest : public QObject {
    Q_OBJECT

    QStringList events_;
    ManualClock clock_{day1};
    QNetworkAccessManager session_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<PresenceService> service_;
    std::unique_ptr<FingerprintFileClient> files_;
    StandInNetwork* network_ = nullptr;
    StandInLock* lock_ = nullptr;
    StandInSecrets* secrets_ = nullptr;
    ScriptedService* scripted_ = nullptr;
    std::unique_ptr<Agent> agent_;
    // Outlive the agent: a restarted agent gets the same secret store contents.
    std::optional<QString> keptSecret_;

    QString agentId() const { return settings_->agentIdentifier(); }

    void serve(qint64 version)
    {
        writeFile(*dir_, QStringLiteral("served.json"),
                  fingerprintFile(
                      version, {internalIpFingerprint("a", "10.1.0.0/16"), internalIpFingerprint("b", "10.2.0.0/16")}));
    }

    void makeAgent(bool scripted,
                   AgentIntervals intervals = {.checkin = 24h, .fingerprintCheck = 24h, .timeOfDay = 24h})
    {
        AgentComponents parts;
        parts.machineState = std::make_unique<MachineState>();
        parts.networkMonitor = std::make_unique<StandInNetwork>(events_);
        network_ = static_cast<StandInNetwork*>(parts.networkMonitor.get());
        parts.rulesEngine = std::make_unique<RulesEngine>(makeSystemProbes(session_));
        parts.lockMonitor = std::make_unique<StandInLock>();
        lock_ = static_cast<StandInLock*>(parts.lockMonitor.get());
        parts.secretStore = std::make_unique<StandInSecrets>();
        secrets_ = static_cast<StandInSecrets*>(parts.secretStore.get());
        secrets_->secret = keptSecret_;
        if (scripted) {
            parts.service = std::make_unique<ScriptedService>(events_);
            scripted_ = static_cast<ScriptedService*>(parts.service.get());
        } else {
            files_ = std::make_unique<FingerprintFileClient>(session_, *settings_, dir_->filePath("data"));
            parts.service = std::make_unique<NerovaServiceConnection>(session_, *settings_, clock_, *files_);
        }
        agent_ = std::make_unique<Agent>(std::move(parts), *settings_, clock_, intervals);
    }

    void enrolledInSettings()
    {
        settings_->setFlag(settingskey::isRegistered, true);
        settings_->setText(settingskey::projectID, QStringLiteral("p"));
        settings_->setText(settingskey::instanceID, QStringLiteral("i"));
        keptSecret_ = QStringLiteral("secret");
        settings_->setText(settingskey::fingerprintURL, QStringLiteral("http://127.0.0.1:9/file"));
        settings_->setInteger(settingskey::fingerprintExpiry, 1'000'000'000'000);
    }

    // Runs `action` and waits until it has ended `checkins` check-in cycles and `refreshes`
    // fingerprint refreshes (a task that never ends, or a handle left behind, fails here).
    bool ends(const std::function<void()>& action, int checkins, int refreshes)
    {
        QSignalSpy checkedIn(agent_.get(), &Agent::checkinFinished);
        QSignalSpy refreshed(agent_.get(), &Agent::fingerprintCheckFinished);
        action();
        return QTest::qWaitFor([&] { return checkedIn.size() >= checkins && refreshed.size() >= refreshes; }, 20'000);
    }

    // A started agent of the reference service, enrolled, with version 1 installed. At the first
    // start the refresh finds no address yet, and the check-in's answer starts a second one.
    void startInstalled()
    {
        makeAgent(false);
        const bool enrolled = keptSecret_.has_value();
        QVERIFY(ends([this] { agent_->start(); }, 1, enrolled ? 1 : 2));
        QVERIFY(agent_->fingerprintFile().has_value());
    }

    // Sends the context of `place` to the monitor loop and waits until it is handled.
    void deliver(const QString& place)
    {
        QSignalSpy handled(agent_.get(), &Agent::contextHandled);
        network_->contexts.send(contextAt(place));
        QVERIFY(handled.wait(10'000));
    }

    void setPolicy(const QByteArray& json)
    {
        QDir().mkpath(dir_->filePath("managed"));
        writeFile(*dir_, QStringLiteral("managed/10.json"), json);
    }

    QStringList reports() const
    {
        QStringList result;
        for (const Json& report : service_->presenceReports()) {
            result << QStringLiteral("%1@%2")
                          .arg(QString::fromStdString(report.at("fingerprintId").get<std::string>()))
                          .arg(report.at("fingerprintVersion").get<qint64>());
        }
        return result;
    }

private slots:
    void init()
    {
        events_.clear();
        keptSecret_.reset();
        clock_.set(day1);
        dir_ = std::make_unique<QTemporaryDir>();
        settings_ = std::make_unique<Settings>(dir_->filePath("settings.conf"), dir_->filePath("managed"), getuid());
        serve(1);
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        config.fingerprintFilePath = dir_->filePath(QStringLiteral("served.json"));
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
        settings_->setText(settingskey::agentEndpoint, service_->baseUrl().toString());
        settings_->setText(settingskey::registrationKey, registrationKey);
    }

    void cleanup()
    {
        agent_.reset();
        files_.reset();
    }

    // A call while a task of its kind runs does nothing. Start runs one refresh and one check-in;
    // each timer first fires one full interval later, so the first timed events come in the order
    // of the intervals (2 : 10 : 60). Stopped, it evaluates no context.
    void runsOneTaskOfEachKindAndTimersAfterTheirInterval()
    {
        enrolledInSettings();
        makeAgent(true, {.checkin = 1800ms, .fingerprintCheck = 300ms, .timeOfDay = 60ms});
        scripted_->hold = true;
        for (int call = 0; call < 2; ++call) {
            agent_->checkin();
            agent_->checkFingerprintFile();
        }
        QCOMPARE(events_, QStringList({"check-in", "download"}));
        scripted_->hold = false;
        QVERIFY(ends([this] { emit scripted_->released(); }, 1, 1));
        events_.clear();
        lock_->click = clock_.now(); // the time-of-day check forces a refresh at each tick
        agent_->start();
        agent_->start(); // a second start changes nothing
        // No file is installed, so the check-in asks for one more refresh.
        QCOMPARE(events_, QStringList({"download", "check-in", "download"}));
        const qsizetype atStart = events_.size();
        QTRY_VERIFY_WITH_TIMEOUT(events_.lastIndexOf(QStringLiteral("check-in")) >= atStart, 10'000);
        const QStringList timed = events_.mid(atStart);
        QCOMPARE(timed.first(), QStringLiteral("refresh"));
        QVERIFY(timed.indexOf(QStringLiteral("download")) < timed.indexOf(QStringLiteral("check-in")));
        // Without a file the context is recorded, and nothing is evaluated or sent.
        deliver("a");
        QCOMPARE(agent_->lastPresenceCheck(), clock_.now());
        QVERIFY(agent_->context() && !agent_->lastEvaluation() && !events_.contains(QStringLiteral("presence")));
        agent_->stop();
        QVERIFY(lock_->detached);
        clock_.advance(1000);
        network_->contexts.send(contextAt("b"));
        // Nor does a timer fire: the daily check would ask for a context on this new day.
        const int refreshes = network_->refreshes;
        clock_.set(day2);
        lock_->click = day2;
        QTest::qWait(200);
        QCOMPARE(agent_->lastPresenceCheck(), day1);
        QCOMPARE(network_->refreshes, refreshes);
    }

    // Bus callers start at most one check-in and one refresh per interval, however often they
    // call: the check-ins asked for meanwhile merge into one at the interval's end, the refreshes
    // into the one started. An enrolment that another process resets is announced.
    void busCallsAreMergedAndAResetIsAnnounced()
    {
        enrolledInSettings();
        makeAgent(true);
        auto* adaptor = new AgentBusAdaptor(*agent_, QDBusConnection(QStringLiteral("none")), 500ms);
        const auto calls = [adaptor] {
            for (int call = 0; call < 300; ++call) {
                adaptor->CheckIn();
                adaptor->Refresh();
            }
        };
        QVERIFY(ends(calls, 1, 1));
        QCOMPARE(events_.count(QStringLiteral("check-in")), 1);
        QVERIFY(ends([] {}, 1, 0));
        QCOMPARE(events_.count(QStringLiteral("check-in")), 2);
        QTest::qWait(600);
        QCOMPARE(events_.count(QStringLiteral("check-in")), 2);
        QCOMPARE(network_->refreshes, 1);
        adaptor->Refresh();
        QCOMPARE(network_->refreshes, 2);
        QSignalSpy announced(agent_.get(), &Agent::isRegisteredChanged);
        Settings(settings_->userFile(), settings_->managedDirectory()).setFlag(settingskey::isRegistered, false);
        QTRY_COMPARE(announced.size(), 1);
        QVERIFY(!adaptor->registered());
    }

    // First start on a configured, unenrolled machine: enrol, check in, download, install, check in
    // again with the new version. Restarted, it asks for no new address and installs its copy, and
    // ignores a download of the version it has.
    void firstStartEnrolsAndRestartInstallsTheCachedCopy()
    {
        startInstalled();
        QVERIFY(agent_->isRegistered());
        QCOMPARE(secrets_->secret, service_->agents().value(agentId()).secret);
        QCOMPARE(service_->checkins().size(), 2);
        QCOMPARE(service_->checkins().last().at("fingerprintVersion").get<qint64>(), 1);
        QCOMPARE(network_->refreshes, 1);

        keptSecret_ = secrets_->secret;
        agent_.reset();
        clock_.set(day1.addSecs(600));
        startInstalled();
        QCOMPARE(service_->checkins().at(2).at("requestNewUrl").get<bool>(), false);
        QCOMPARE(service_->agents().size(), 1);
        // The same version again: nothing installed, no extra check-in, no re-evaluation.
        QSignalSpy installed(agent_.get(), &Agent::fingerprintFileChanged);
        const qsizetype checkins = service_->checkins().size();
        QVERIFY(ends([this] { agent_->checkFingerprintFile(); }, 0, 1));
        QCOMPARE(installed.size(), 0);
        QCOMPARE(service_->checkins().size(), checkins);
        QCOMPARE(network_->refreshes, 1);
        QVERIFY2(service_->refusals().isEmpty(), qPrintable(service_->refusals().join(u'\n')));
    }

    void reportsEachChangeOfMatch_data()
    {
        QTest::addColumn<QStringList>("steps"); // places in turn; "v2": version 2 is served and installed
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("A, none, A") << QStringList{"a", "none", "a"} << QStringList{"a@1", "a@1"};
        QTest::newRow("A then B with a newer file") << QStringList{"a", "v2", "b"} << QStringList{"a@1", "b@2"};
        QTest::newRow("newer file, same match") << QStringList{"a", "v2", "a"} << QStringList{"a@1"};
    }
    void reportsEachChangeOfMatch()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, expected);
        startInstalled();
        for (const QString& step : steps) {
            if (step == u"v2") {
                serve(2);
                QVERIFY(ends([this] { agent_->checkFingerprintFile(); }, 0, 1));
                QCOMPARE(agent_->fingerprintFile()->fingerprintVersion, 2);
            } else {
                deliver(step);
            }
        }
        QCOMPARE(reports(), expected);
        QCOMPARE(agent_->fingerprint() ? agent_->fingerprint()->fingerprintId : QString(), steps.last());
    }

    // The daily check forces one report a day, once the user is active and nothing was evaluated
    // yet that day.
    void forcesOneReportADay_data()
    {
        QTest::addColumn<QDateTime>("lastEvaluation"); // when the earlier context was accepted
        QTest::addColumn<QDateTime>("click");
        QTest::addColumn<QDateTime>("tick");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("forced");
        const QDateTime at0859(day2.date(), QTime(8, 59), Qt::UTC);
        const QDateTime at0005(day2.date(), QTime(0, 5), Qt::UTC);
        // clang-format off
        QTest::newRow("first click at 09:00") << day1 << at0859.addSecs(60) << at0859.addSecs(120) << false << true;
        QTest::newRow("no click since start") << day1 << LockState::distantPast() << at0859 << false << false;
        QTest::newRow("locked") << day1 << at0859 << at0859.addSecs(120) << true << false;
        QTest::newRow("00:05 marks the day") << at0005 << at0005.addSecs(-60) << at0005.addSecs(53'700) << false << false;
        // clang-format on
    }
    void forcesOneReportADay()
    {
        QFETCH(QDateTime, lastEvaluation);
        QFETCH(QDateTime, click);
        QFETCH(QDateTime, tick);
        QFETCH(bool, locked);
        QFETCH(bool, forced);
        startInstalled();
        lock_->click = lastEvaluation;
        clock_.set(lastEvaluation);
        deliver(lastEvaluation == day1 ? "a" : "none");
        clock_.set(QDateTime(day2.date(), QTime(8, 59), Qt::UTC));
        lock_->click = day1;
        deliver("a"); // yesterday's last click: the morning's context is dropped and marks no day
        lock_->click = clock_.now();
        lock_->locked = true;
        deliver("a"); // and so is a context while locked
        QCOMPARE(agent_->lastPresenceCheck(), lastEvaluation);
        const qsizetype reportsBefore = service_->presenceReports().size();
        const int refreshes = network_->refreshes;
        lock_->click = click;
        lock_->locked = locked;
        clock_.set(tick);
        network_->current = contextAt("a");
        QSignalSpy handled(agent_.get(), &Agent::contextHandled);
        agent_->checkTimeOfDay();
        QCOMPARE(network_->refreshes - refreshes, forced ? 1 : 0);
        if (forced) {
            QVERIFY(handled.wait(10'000));
            QCOMPARE(reports(), QStringList({"a@1", "a@1"}));
            agent_->checkTimeOfDay(); // the day is checked now
            QCOMPARE(network_->refreshes - refreshes, 1);
        } else {
            QCOMPARE(service_->presenceReports().size(), reportsBefore);
        }
    }

    // A report the service did not accept, or that could not be sent for want of the secret, is
    // sent again at the next tick or when the same match comes back, unchanged, until it is
    // accepted; it is given up when the match changes. Meanwhile `message` says why it waits.
    void retriesAReportUntilAccepted_data()
    {
        QTest::addColumn<QString>("cause"); // "503", or "keyring": the secret cannot be read
        QTest::addColumn<QString>("retry"); // "tick", or the place of the next context
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("at the next tick") << "503"
                                          << "tick" << QStringList{"a@1"};
        QTest::newRow("keyring, at the next tick") << "keyring"
                                                   << "tick" << QStringList{"a@1"};
        QTest::newRow("same match again") << "503"
                                          << "a" << QStringList{"a@1"};
        QTest::newRow("match changes") << "503"
                                       << "b" << QStringList{"b@1"};
        QTest::newRow("no match any more") << "keyring"
                                           << "none" << QStringList{};
    }
    void retriesAReportUntilAccepted()
    {
        QFETCH(QString, cause);
        QFETCH(QString, retry);
        QFETCH(QStringList, expected);
        startInstalled();
        const QString path = u'/' + agentId() + QStringLiteral("/presence");
        if (cause == u"503") {
            service_->setStatus(path, 503);
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Error sending presence ")));
        }
        secrets_->failLoad = cause == u"keyring";
        const QDateTime built = clock_.now();
        deliver("a");
        QVERIFY(agent_->hasUnsentPresence());
        QVERIFY(!agent_->lastPresenceSend().isValid());
        QVERIFY2(
            agent_->message().startsWith(cause == u"503" ? "Presence report failed: " : "Secret store unavailable"),
            qPrintable(agent_->message()));

        service_->clearFaults();
        secrets_->failLoad = false;
        clock_.advance(120'000);
        const QString place = retry == u"tick" ? QStringLiteral("a") : retry;
        if (retry == u"tick") {
            QSignalSpy sent(agent_.get(), &Agent::presenceSendFinished);
            agent_->checkTimeOfDay();
            QVERIFY(sent.wait(10'000));
        } else {
            deliver(place);
        }
        QCOMPARE(reports(), expected);
        QVERIFY(!agent_->hasUnsentPresence());
        QCOMPARE(agent_->message(), QString());
        if (!expected.isEmpty()) { // a repeated report carries the time it was built, a new one its own
            QCOMPARE(QString::fromStdString(service_->presenceReports().last().at("timestamp").get<std::string>()),
                     (retry == u"b" ? clock_.now() : built).toString(Qt::ISODate));
            QCOMPARE(agent_->lastPresenceSend(), clock_.now());
        }
        // An accepted report is never sent again.
        agent_->checkTimeOfDay();
        deliver(place);
        QCOMPARE(reports(), expected);
    }

    void reportingHours_data()
    {
        QTest::addColumn<QString>("hours");
        QTest::addColumn<QDateTime>("at");
        QTest::addColumn<QString>("expected");              // "in", "out" or "malformed"
        QTest::addColumn<QDateTime>("next");                // the next change; invalid: none
        const auto at = [](int day, int hour, int minute) { // day 0: Monday 2 March 2026 (UTC, the local time)
            return QDateTime(day1.date().addDays(day), QTime(hour, minute), Qt::UTC);
        };
        const QString office = QStringLiteral("Mon-Fri 07:00-19:00, Sat 09:00-13:00");
        const QString nights = QStringLiteral("Fri-Mon 22:00-06:00");
        // clang-format off
        QTest::newRow("inside") << office << at(0, 10, 0) << "in" << at(0, 19, 0);
        QTest::newRow("end excluded") << office << at(0, 19, 0) << "out" << at(1, 7, 0);
        QTest::newRow("start included") << office << at(1, 7, 0) << "in" << at(1, 19, 0);
        QTest::newRow("second range") << office << at(5, 12, 59) << "in" << at(5, 13, 0);
        QTest::newRow("weekend") << office << at(6, 10, 0) << "out" << at(7, 7, 0);
        QTest::newRow("other offset, local time counts") << office << QDateTime(day1.date(), QTime(10, 0), Qt::OffsetFromUTC, 5 * 3600) << "out" << at(0, 7, 0);
        QTest::newRow("across midnight, morning after Mon") << nights << at(1, 5, 59) << "in" << at(1, 6, 0);
        QTest::newRow("wrapping days: not Thu") << nights << at(3, 23, 0) << "out" << at(4, 22, 0);
        QTest::newRow("wrapping days: Sat night into Sun") << nights << at(6, 3, 0) << "in" << at(6, 6, 0);
        QTest::newRow("24:00") << "Sun 00:00-24:00" << at(6, 23, 59) << "in" << at(7, 0, 0);
        QTest::newRow("always") << "Mon-Sun 00:00-24:00" << at(2, 12, 0) << "in" << QDateTime();
        for (const char* bad : {"Mon-Fri 7-19", "Moon 07:00-19:00", "Mon 07:00-24:01", "Mon 09:00-09:00", "", "Mon 07:00-19:00,"}) {
            QTest::newRow(bad) << bad << at(0, 10, 0) << "malformed" << QDateTime();
        }
        // clang-format on
    }
    void reportingHours()
    {
        QFETCH(QString, hours);
        QFETCH(QDateTime, at);
        QFETCH(QString, expected);
        QFETCH(QDateTime, next);
        const auto parsed = ReportingHours::parse(hours);
        QCOMPARE(std::holds_alternative<QString>(parsed), expected == u"malformed");
        if (const auto* read = std::get_if<ReportingHours>(&parsed)) {
            QCOMPARE(read->contains(at), expected == u"in");
            QCOMPARE(read->nextChange(at).value_or(QDateTime()), next);
        }
    }

    // Outside the hours and while paused nothing is evaluated or reported; entering the hours and
    // resuming count as a new day, so an active user is reported at once. Steps: a place ("a",
    // "b", "none") delivered; "Tue 07:00" sets the clock (the user clicks then); "tick" is the
    // daily check; "pause N", "pause tomorrow" and "resume" go through the bus interface;
    // "policy JSON"; "=REPORTS", "message=TEXT" and "until=ISO" check.
    void reportsWithinHoursAndPauses_data()
    {
        QTest::addColumn<QStringList>("steps");
        // clang-format off
        QTest::newRow("outside the hours, then entering them") << QStringList{
            R"(policy {"reportingHours": "Mon-Fri 07:00-09:00"})", "Mon 10:00", "a", "=", "message=Outside reporting hours",
            "tick", "=", "Tue 07:00", "tick", "=a@1", "message="};
        QTest::newRow("entering the hours again counts as a new day") << QStringList{
            R"(policy {"reportingHours": "Mon 08:00-09:00, Mon 11:00-12:00"})", "Mon 08:30", "a", "=a@1",
            "Mon 10:00", "tick", "a", "=a@1", "Mon 11:00", "tick", "=a@1,a@1", "tick", "=a@1,a@1"};
        QTest::newRow("malformed hours count as none") << QStringList{
            R"(policy {"reportingHours": "weekdays"})", "Mon 10:00", "a", "=a@1", "message="};
        QTest::newRow("pause refused without the key") << QStringList{
            "Mon 10:00", "pause 60", "until=", "a", "=a@1"};
        QTest::newRow("pause and resume") << QStringList{
            R"(policy {"allowPause": true})", "Mon 10:00", "a", "=a@1", "pause 60", "until=2026-03-02T11:00:00Z",
            "message=Reporting paused until 3/2/26 11:00 AM", "b", "tick", "=a@1", "resume", "until=", "=a@1,b@1", "message="};
        QTest::newRow("a pause ends by itself") << QStringList{
            R"(policy {"allowPause": "true"})", "Mon 10:00", "pause 30", "a", "=", "Mon 10:29", "tick", "=", "Mon 10:30", "tick",
            "until=", "=a@1"};
        QTest::newRow("until tomorrow, extended over a shorter one") << QStringList{
            R"(policy {"allowPause": true})", "Mon 10:00", "pause 60", "pause tomorrow", "until=2026-03-03T00:00:00Z",
            "Mon 23:59", "a", "=", "Tue 00:00", "tick", "=a@1"};
        QTest::newRow("the key withdrawn ends the pause") << QStringList{
            R"(policy {"allowPause": true})", "Mon 10:00", "a", "pause 60", "policy {}", "tick", "until=", "=a@1"};
        // clang-format on
    }
    void reportsWithinHoursAndPauses()
    {
        QFETCH(QStringList, steps);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        startInstalled();
        auto* adaptor = new AgentBusAdaptor(*agent_, QDBusConnection(QStringLiteral("none")));
        QSignalSpy handled(agent_.get(), &Agent::contextHandled);
        const int refreshesBefore = network_->refreshes;
        int delivered = 0;
        // Every context sent (delivered, or yielded by a refresh) has been handled.
        const auto settle = [&] {
            QTRY_COMPARE_WITH_TIMEOUT(handled.size(), delivered + network_->refreshes - refreshesBefore, 10'000);
        };
        static const QStringList days{"Mon", "Tue"};
        for (const QString& step : steps) {
            const QString argument = step.section(u' ', 1);
            if (step.startsWith(u"policy ")) {
                setPolicy(argument.toUtf8());
            } else if (days.contains(step.left(3))) {
                clock_.set(QDateTime(day1.date().addDays(days.indexOf(step.left(3))),
                                     QTime::fromString(argument, QStringLiteral("hh:mm")), Qt::UTC));
                lock_->click = clock_.now();
            } else if (step == u"a" || step == u"b" || step == u"none") {
                network_->current = contextAt(step);
                network_->contexts.send(contextAt(step));
                ++delivered;
            } else if (step == u"tick") {
                agent_->checkTimeOfDay();
            } else if (step == u"pause tomorrow") {
                adaptor->PauseUntilTomorrow({});
            } else if (step.startsWith(u"pause ")) {
                adaptor->Pause(argument.toInt(), {});
            } else if (step == u"resume") {
                adaptor->Resume();
            } else if (step.startsWith(u'=')) {
                settle();
                QCOMPARE(reports().join(u','), step.mid(1));
            } else if (step.startsWith(u"message=")) {
                QCOMPARE(adaptor->message().replace(QChar(0x202F), u' '), step.section(u'=', 1));
            } else if (step.startsWith(u"until=")) {
                QCOMPARE(adaptor->pausedUntil(), step.section(u'=', 1));
            } else {
                QFAIL(qPrintable(step));
            }
            settle();
        }
        QLocale::setDefault(QLocale::c());
    }

    // The report carries no finer part of the location than the managed precision allows; the
    // match itself keeps every part. An unusable value caps at the location.
    void capsThePrecisionOfReports_data()
    {
        QTest::addColumn<QByteArray>("policy");
        QTest::addColumn<QString>("place");
        QTest::addColumn<QByteArray>("received"); // the locationPoint the service received
        const QByteArray full = R"({"locationId":"hq","levelId":"3","zoneId":"east","placeId":"desk-7"})";
        // clang-format off
        QTest::newRow("not set: place") << QByteArray("{}") << "a" << full;
        QTest::newRow("place") << QByteArray(R"({"reportPrecision":"place"})") << "a" << full;
        QTest::newRow("zone") << QByteArray(R"({"reportPrecision":"zone"})") << "a" << QByteArray(R"({"locationId":"hq","levelId":"3","zoneId":"east"})");
        QTest::newRow("level") << QByteArray(R"({"reportPrecision":"level"})") << "a" << QByteArray(R"({"locationId":"hq","levelId":"3"})");
        QTest::newRow("location") << QByteArray(R"({"reportPrecision":"location"})") << "a" << QByteArray(R"({"locationId":"hq"})");
        QTest::newRow("absent parts stay absent") << QByteArray(R"({"reportPrecision":"zone"})") << "b" << QByteArray(R"({"locationId":"home","zoneId":"attic"})");
        QTest::newRow("invalid: location") << QByteArray(R"({"reportPrecision":"desk"})") << "a" << QByteArray(R"({"locationId":"hq"})");
        QTest::newRow("not text: location") << QByteArray(R"({"reportPrecision":3})") << "a" << QByteArray(R"({"locationId":"hq"})");
        // clang-format on
    }
    void capsThePrecisionOfReports()
    {
        QFETCH(QByteArray, policy);
        QFETCH(QString, place);
        QFETCH(QByteArray, received);
        // The two fingerprints of the served file with locations of every part, and of some.
        const auto fingerprint = [](const char* id, const char* range, const char* point) {
            return internalIpFingerprint(id, range).replace("{\"locationId\":\"site-" + QByteArray(id) + "\"}", point);
        };
        writeFile(
            *dir_, QStringLiteral("served.json"),
            fingerprintFile(
                1, {fingerprint("a", "10.1.0.0/16",
                                R"({"locationId":"hq","levelId":"3","zoneId":"east","placeId":"desk-7"})"),
                    fingerprint("b", "10.2.0.0/16", R"({"locationId":"home","zoneId":"attic","placeId":"sofa"})")}));
        setPolicy(policy);
        if (qstrcmp(QTest::currentDataTag(), "invalid: location") == 0 ||
            qstrcmp(QTest::currentDataTag(), "not text: location") == 0) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression(QStringLiteral("^Managed setting reportPrecision is ")));
        }
        startInstalled();
        deliver(place);
        deliver("none");
        deliver(place); // a second report: the unusable value is said once
        QCOMPARE(service_->presenceReports().size(), 2);
        for (const Json& report : service_->presenceReports()) {
            QCOMPARE(QByteArray::fromStdString(report.at("locationPoint").dump()), received);
        }
        QVERIFY(agent_->fingerprint()->locationPoint.placeId.has_value());
    }

    void requestsANewAddressOnlyAfterExpiry_data()
    {
        QTest::addColumn<qint64>("secondsBeforeNow"); // of the stored expiry; 0: no address stored
        QTest::addColumn<bool>("expected");
        QTest::newRow("no address") << qint64(0) << true;
        QTest::newRow("valid") << qint64(-3600) << false;
        QTest::newRow("expired exactly a minute ago") << qint64(60) << false;
        QTest::newRow("one second later") << qint64(61) << true;
    }
    void requestsANewAddressOnlyAfterExpiry()
    {
        QFETCH(qint64, secondsBeforeNow);
        QFETCH(bool, expected);
        enrolledInSettings();
        makeAgent(true);
        clock_.set(clock_.now().addMSecs(900)); // fractions of a second are dropped
        if (secondsBeforeNow != 0) {
            const qint64 now = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).secsTo(day1);
            settings_->setInteger(settingskey::fingerprintExpiry, now - secondsBeforeNow);
        } else {
            settings_->remove(settingskey::fingerprintURL);
        }
        QVERIFY(ends([this] { agent_->checkin(); }, 1, 1));
        QCOMPARE(scripted_->checkinRequests.first().requestNewUrl, expected);
    }

    // 412: the agent enrols again at once, in a cycle and in a refresh.
    void enrolsAgainWhenTheServiceForgetsIt_data()
    {
        QTest::addColumn<bool>("inRefresh");
        QTest::newRow("check-in cycle") << false;
        QTest::newRow("fingerprint refresh") << true;
    }
    void enrolsAgainWhenTheServiceForgetsIt()
    {
        QFETCH(bool, inRefresh);
        startInstalled();
        const QString firstSecret = *secrets_->secret;
        service_->failNextCheckin(412);
        const qsizetype checkinsBefore = service_->checkins().size();
        serve(2);
        clock_.advance(3600'000);
        if (inRefresh) {
            settings_->setInteger(settingskey::fingerprintExpiry, 0);
            QVERIFY(ends([this] { agent_->checkFingerprintFile(); }, 0, 1));
        } else {
            QVERIFY(ends([this] { agent_->checkin(); }, 1, 0));
        }
        QVERIFY(agent_->isRegistered());
        QVERIFY(*secrets_->secret != firstSecret);
        QCOMPARE(*secrets_->secret, service_->agents().value(agentId()).secret);
        // The agent checks in again at once, signed with its new secret, and only that check-in
        // counts; the refresh checks in once more with the new file.
        QCOMPARE(service_->checkins().size() - checkinsBefore, inRefresh ? 2 : 1);
        QCOMPARE(agent_->fingerprintFile()->fingerprintVersion, inRefresh ? 2 : 1);
        QCOMPARE(agent_->lastCheckin() == clock_.now(), !inRefresh);
    }

    // `message` names what keeps the agent from checking in, and only a sent check-in counts. A
    // secret that cannot be stored leaves the agent unenrolled.
    void tellsWhatKeepsItFromCheckingIn_data()
    {
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("no endpoint") << "endpoint" << "Not configured";
        QTest::newRow("endpoint not a URL") << "bad endpoint" << "Not configured";
        QTest::newRow("store unreachable") << "store" << "Secret store unavailable: noSecretService(\"no keyring\")";
        QTest::newRow("no secret") << "secret" << "Not enrolled: no secret stored";
        QTest::newRow("no project") << "project" << "Not enrolled: no project or instance identifier stored";
        QTest::newRow("secret cannot be stored") << "unstorable" << "Secret store unavailable: timedOut(\"keyring locked\")";
        QTest::newRow("refused") << "refused" << "Check-in failed";
        // clang-format on
    }
    void tellsWhatKeepsItFromCheckingIn()
    {
        QFETCH(QString, problem);
        QFETCH(QString, message);
        enrolledInSettings();
        if (problem == u"secret") {
            keptSecret_.reset();
        }
        makeAgent(false);
        secrets_->failLoad = problem == u"store";
        secrets_->failStore = problem == u"unstorable";
        if (problem == u"endpoint" || problem == u"project") {
            settings_->remove(problem == u"project" ? settingskey::projectID : settingskey::agentEndpoint);
        } else if (problem == u"bad endpoint") {
            settings_->setText(settingskey::agentEndpoint, QStringLiteral("not a url"));
        } else if (problem == u"refused") {
            service_->setStatus(u'/' + agentId() + QStringLiteral("/check-in"), 500);
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^error during check in ")));
        } else if (problem == u"unstorable") {
            settings_->setFlag(settingskey::isRegistered, false);
            QTest::ignoreMessage(QtCriticalMsg, "Failed to register - timedOut(\"keyring locked\")");
        }
        QVERIFY(ends([this] { agent_->checkin(); }, 1, 0));
        QVERIFY(agent_->message().startsWith(message));
        QVERIFY(!agent_->message().contains(QStringLiteral("secret\"")));
        QVERIFY(!agent_->lastCheckin().isValid());
        QCOMPARE(agent_->isRegistered(), problem != u"unstorable");
        QVERIFY(service_->agents().isEmpty()); // no enrolment is left behind
    }
};

int main(int argc, char* argv[])
{
    qputenv("TZ", "UTC");
    QCoreApplication app(argc, argv);
    AgentTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AgentTest.moc"
