// The agent's processes in a network namespace of the test's own, on a private session bus with a
// real keyring: `nerova-agent watch`, and `nerova-agent run` end to end against the reference
// presence service, with the commands and bus properties that talk to the running agent; after
// which no file the agent wrote (its activity record too), no log line and no command output holds
// a secret, the registration key or a signature.
#include "agent/AgentBusAdaptor.h"
#include "cli/CommandRun.h"
#include "common/Json.h"
#include "common/Settings.h"
#include "network/NetworkContextJson.h"
#include "support/FingerprintFiles.h"
#include "support/PrivateNetwork.h"
#include "tools/presence-service/PresenceService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace nerova;
using namespace nerova::presence;

namespace {

std::optional<QString> isolationFailure; // why the test could not have a network of its own, with a veth pair

// Every file under the agent's own folders of the configuration and data homes, by path.
QHash<QString, QByteArray> filesTheAgentWrote()
{
    QHash<QString, QByteArray> files;
    for (const char* home : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        for (const char* folder : {"/Nerova", "/autostart"}) {
            QDirIterator it(qEnvironmentVariable(home) + QString::fromLatin1(folder), QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                if (file.open(QIODevice::ReadOnly)) {
                    files.insert(file.fileName(), file.readAll());
                }
            }
        }
    }
    return files;
}

} // namespace

class AgentRunTest : public QObject {
    Q_OBJECT

signals:
    void propertiesChanged(QString interfaceName, QVariantMap changed, QStringList invalidated);

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run on a private session bus (with-session-bus.sh)");
        if (!isolationFailure) {
            for (const char* name : {"net/ipv6/conf/all/disable_ipv6", "net/ipv6/conf/default/disable_ipv6"}) {
                QVERIFY(!test::writeSysctl(QString::fromLatin1(name), "1")); // no addresses appear on their own
            }
            isolationFailure = test::addVethPair(QStringLiteral("nr0"), QStringLiteral("nr1"));
        }
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
    }

    // One JSON line per context on standard output, one more after an address is added, a clean
    // end on SIGTERM; no bus and no display of the host reach the command.
    void watchPrintsOneLinePerContext()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_SESSION_ID"}) {
            environment.remove(QString::fromLatin1(name));
        }
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        QProcess watch;
        watch.setProcessEnvironment(environment);
        watch.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("watch"), QStringLiteral("--no-public-ip")});
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
        const NetworkContext first = decodeNetworkContext(watch.readLine());
        QCOMPARE(first.networkInterfaces.size(), std::size_t(2));
        QVERIFY(first.internalAddresses.empty());
        QVERIFY(!test::runIp({"addr", "add", "10.69.0.1/24", "dev", "nr0"}));
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
        const NetworkContext second = decodeNetworkContext(watch.readLine());
        QCOMPARE(second.internalAddresses.size(), std::size_t(1));
        QCOMPARE(second.internalAddresses.front().address, QStringLiteral("10.69.0.1"));
        QCOMPARE(second.externalIPv4, std::nullopt);
        QTest::qWait(7000); // longer than the debounce: a second line would show now
        QVERIFY(!watch.canReadLine());
        ::kill(static_cast<pid_t>(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(10000));
        QVERIFY(watch.exitStatus() == QProcess::NormalExit && watch.exitCode() == 0);
        QVERIFY(watch.readAllStandardOutput().isEmpty());
        QVERIFY(!test::runIp({"addr", "del", "10.69.0.1/24", "dev", "nr0"})); // out of the run's way
    }

    void runsTheAgentOfTheSession()
    {
        test::verifyResult(test::runCommand({QStringLiteral("status")}), 1, {},
                           QStringLiteral("nerova-agent: no agent is running in this session\n"));
        QTemporaryDir dir;
        const SystemClock clock;
        PresenceServiceConfig config;
        config.registrationKey = QStringLiteral("e2e-key");
        config.fingerprintFilePath =
            test::writeFile(dir, QStringLiteral("served.json"),
                            test::fingerprintFile(3, {test::internalIpFingerprint("a", "10.67.0.0/24"),
                                                      test::internalIpFingerprint("b", "10.68.0.0/24")}));
        PresenceService service(config, clock);
        const auto reportedFingerprints = [&service] {
            QStringList ids;
            for (const Json& report : service.presenceReports()) {
                ids << fromStdString(report.at("fingerprintId").get<std::string>());
            }
            return ids;
        };
        QVERIFY(service.listen(QHostAddress::LocalHost, 0) != 0);
        const QString base = service.baseUrl().toString();
        {
            Settings settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory());
            settings.setText(settingskey::agentEndpoint, base);
            settings.setText(settingskey::registrationKey, config.registrationKey);
            settings.setText(settingskey::publicIpEndpoint, base + QStringLiteral("/?format=json"));
        }

        QProcess agent;
        agent.setProcessChannelMode(QProcess::MergedChannels);
        agent.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("--verbose"), QStringLiteral("run")});
        QVERIFY(agent.waitForStarted());
        // Enrolled, and checked in again once its file is installed.
        QTRY_VERIFY_WITH_TIMEOUT(service.checkins().size() >= 2, 30'000);
        const QString agentId = service.agents().keys().first();

        QProcess second;
        second.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("run")});
        QVERIFY(second.waitForFinished(20'000) && second.exitCode() == 1);
        QVERIFY(second.readAllStandardError().contains("another agent is already running"));

        QVERIFY(!test::runIp({"addr", "add", "10.67.0.1/24", "dev", "nr0"}));
        QTRY_COMPARE_WITH_TIMEOUT(reportedFingerprints(), QStringList({"a"}), 30'000);

        // A change of what the status window shows is announced, and the properties read the new state.
        QDBusConnection listener =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("listener"));
        QSignalSpy announced(this, &AgentRunTest::propertiesChanged);
        QVERIFY(listener.connect(agentbus::serviceName, agentbus::objectPath,
                                 QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                                 this, SIGNAL(propertiesChanged(QString, QVariantMap, QStringList))));
        QVERIFY(!test::runIp({"addr", "del", "10.67.0.1/24", "dev", "nr0"}));
        QVERIFY(!test::runIp({"addr", "add", "10.68.0.1/24", "dev", "nr0"}));
        QTRY_COMPARE_WITH_TIMEOUT(reportedFingerprints(), QStringList({"a", "b"}), 30'000); // "a" only once
        QTRY_VERIFY(std::any_of(announced.cbegin(), announced.cend(), [](const QList<QVariant>& signal) {
            return signal.at(0).toString() == QString::fromLatin1(agentbus::interfaceName) &&
                   signal.at(1).toMap().value(QStringLiteral("LocationId")) == QStringLiteral("b");
        }));
        QDBusInterface remote(agentbus::serviceName, agentbus::objectPath, agentbus::interfaceName);
        QCOMPARE(remote.property("LocationName").toString(), QStringLiteral("b"));
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));

        test::verifyResult(test::runCommand({QStringLiteral("status")}), 0,
                           {QStringLiteral("Registered:            yes\n"),
                            QStringLiteral("Location:              b (b)\n"),
                            QStringLiteral("Fingerprint file:      version 3\n")},
                           QString());
        const QByteArray statusOutput =
            test::runCommand({QStringLiteral("status"), QStringLiteral("--json")}).out.toUtf8();
        const Json status = parseJson(statusOutput);
        QCOMPARE(status.at("context").at("internalAddresses").at(0).at("address").get<std::string>(), "10.68.0.1");
        // Asked to refresh, the agent reads the network again, its public address too; asked over the
        // bus to check in, it does.
        service.setRawAnswer(QStringLiteral("/"), {200, "application/json", R"({"ip":"203.0.113.99"})", {}});
        QCOMPARE(test::runCommand({QStringLiteral("refresh")}).code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            test::runCommand({QStringLiteral("status"), QStringLiteral("--json")}).out.contains("203.0.113.99"),
            15'000);
        // Without the managed "allowPause" a pause is refused, by the bus and so by the command.
        test::verifyResult(test::runCommand({QStringLiteral("pause"), QStringLiteral("--until-tomorrow")}), 1, {},
                           QStringLiteral("pausing is not allowed"));
        test::verifyResult(test::runCommand({QStringLiteral("resume")}), 0, {QStringLiteral("Reporting resumed")},
                           QString());
        QCOMPARE(QDBusInterface(agentbus::serviceName, agentbus::objectPath, agentbus::interfaceName)
                     .property("PausedUntil")
                     .toString(),
                 QString());
        const qsizetype checkins = service.checkins().size();
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(agentbus::serviceName, agentbus::objectPath,
                                                                          agentbus::interfaceName, "CheckIn"));
        QTRY_COMPARE_WITH_TIMEOUT(service.checkins().size(), checkins + 1, 15'000);

        const QString list = test::runCommand({QStringLiteral("config"), QStringLiteral("list")}).out;
        static const QRegularExpression stored(QStringLiteral("^agentSecret +present +credential store$"),
                                               QRegularExpression::MultilineOption);
        QVERIFY2(list.contains(base) && list.contains(stored), qPrintable(list));

        ::kill(static_cast<pid_t>(agent.processId()), SIGTERM);
        QVERIFY(agent.waitForFinished(10'000));
        QVERIFY(agent.exitStatus() == QProcess::NormalExit && agent.exitCode() == 0);
        QVERIFY2(service.refusals().isEmpty(), qPrintable(service.refusals().join(u'\n')));

        // The activity record lists the enrolment and the reports, newest first.
        QProcess activity;
        activity.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("activity"), QStringLiteral("--json")});
        QVERIFY(activity.waitForFinished(10'000) && activity.exitCode() == 0);
        const QByteArray activityOutput = activity.readAllStandardOutput();
        const Json entries = parseJson(activityOutput);
        QStringList requests;
        for (const Json& entry : entries) {
            requests.prepend(
                fromStdString(entry.at("request").get<std::string>() + ' ' + entry.at("outcome").get<std::string>()));
        }
        QVERIFY2(requests.mid(0, 2) == QStringList({"registration accepted", "completion accepted"}) &&
                     requests.count(QStringLiteral("presence accepted")) == 2,
                 qPrintable(requests.join(u'\n')));

        // The secrets audit.
        QHash<QString, QByteArray> texts = filesTheAgentWrote();
        // The settings, the local copy and the activity record.
        QVERIFY2(texts.size() >= 3, qPrintable(QStringList(texts.keys()).join(u' ')));
        for (auto it = texts.begin(); it != texts.end(); ++it) {
            // The key is in the settings because the user put it there, in its own line only.
            it.value().replace("registrationKey=" + config.registrationKey.toUtf8(), "registrationKey=");
        }
        texts.insert(QStringLiteral("the agent's log"), agent.readAll());
        texts.insert(QStringLiteral("status --json"), statusOutput);
        texts.insert(QStringLiteral("config list"), list.toUtf8());
        texts.insert(QStringLiteral("activity --json"), activityOutput);
        QByteArrayList secrets{service.agents().value(agentId).secret.toUtf8(), config.registrationKey.toUtf8()};
        secrets += service.signatures();
        QVERIFY(service.signatures().size() >= 4);
        for (const QByteArray& secret : secrets) {
            QVERIFY(secret.size() >= 7);
            for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
                QVERIFY2(!it.value().contains(secret), qPrintable(it.key() + QStringLiteral(" holds a credential")));
            }
        }
    }

    // On a bus of its own, without --verbose: `run` gives its name up to a desktop agent that starts
    // later and ends with 0; it ends with 4 when its bus goes away; neither writes a debug line.
    void runGivesWayToTheDesktopAndEndsWithItsBus()
    {
        QProcess daemon;
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(daemon.waitForReadyRead(10'000));
        const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        const auto start = [&environment](QProcess& process, const QStringList& arguments) {
            process.setProcessEnvironment(environment);
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(QStringLiteral(NEROVA_AGENT_BINARY), arguments);
        };
        QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("own bus"));
        const auto owner = [&bus] { return bus.interface()->serviceOwner(agentbus::serviceName).value(); };

        QProcess headless;
        start(headless, {QStringLiteral("run")});
        QTRY_VERIFY_WITH_TIMEOUT(!owner().isEmpty(), 15'000);
        const QString first = owner();
        QProcess desktop;
        start(desktop, {});
        QVERIFY(headless.waitForFinished(20'000));
        QCOMPARE(headless.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!owner().isEmpty() && owner() != first, 15'000);
        ::kill(static_cast<pid_t>(desktop.processId()), SIGTERM);
        QVERIFY(desktop.waitForFinished(10'000));

        QProcess orphan;
        start(orphan, {QStringLiteral("run")});
        QTRY_VERIFY_WITH_TIMEOUT(!owner().isEmpty(), 15'000);
        QDBusConnection::disconnectFromBus(QStringLiteral("own bus"));
        daemon.terminate();
        QVERIFY(daemon.waitForFinished(10'000));
        QVERIFY(orphan.waitForFinished(20'000));
        const QByteArray log = headless.readAll() + desktop.readAll() + orphan.readAll();
        QVERIFY2(orphan.exitStatus() == QProcess::NormalExit && orphan.exitCode() == 4, log.right(1000).constData());
        QVERIFY2(log.contains("A desktop agent took over") && log.contains("The session bus went away"), log);
        QVERIFY2(!log.contains("] debug: "), log);
    }
};

int main(int argc, char* argv[])
{
    isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    AgentRunTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AgentRunTest.moc"
