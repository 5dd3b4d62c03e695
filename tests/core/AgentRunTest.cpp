// `nerova-agent run` end to end in a network namespace of its own, on a private session bus with a
// real keyring, against the reference presence service. Afterwards no file the agent wrote, no log
// line and no command output holds a secret, the registration key or a signature.
#include "common/Json.h"
#include "common/Settings.h"
#include "core/AgentBusAdaptor.h"
#include "support/FingerprintFiles.h"
#include "support/PrivateNetwork.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDirIterator>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace nerova;
using namespace nerova::presence;

namespace {

std::optional<QString> isolationFailure; // why the test could not have a network of its own

// Runs a short command of the agent and yields its exit code and standard output.
std::pair<int, QByteArray> agentCommand(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(NEROVA_AGENT_BINARY), arguments);
    if (!process.waitForFinished(20'000)) {
        return {-1, {}};
    }
    return {process.exitCode(), process.readAllStandardOutput() + process.readAllStandardError()};
}

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

private slots:
    void runsTheAgentOfTheSession()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run on a private session bus (with-session-bus.sh)");
        if (const std::optional<QString> failure = test::addVethPair(QStringLiteral("nr0"), QStringLiteral("nr1"))) {
            QSKIP(qPrintable(*failure));
        }
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
        // Enrolled, checked in, file downloaded and installed, checked in again with its version.
        QTRY_VERIFY_WITH_TIMEOUT(service.checkins().size() >= 2, 30'000);
        QCOMPARE(service.checkins().last().at("fingerprintVersion").get<qint64>(), 3);
        QCOMPARE(service.agents().size(), 1);
        const QString agentId = service.agents().keys().first();

        const auto [secondCode, secondOutput] = agentCommand({QStringLiteral("run")});
        QCOMPARE(secondCode, 1);
        QVERIFY2(secondOutput.contains("another agent is already running"), secondOutput.constData());

        QVERIFY(!test::runIp({"addr", "add", "10.67.0.1/24", "dev", "nr0"}));
        QTRY_COMPARE_WITH_TIMEOUT(reportedFingerprints(), QStringList({"a"}), 30'000);

        QVERIFY(!test::runIp({"addr", "del", "10.67.0.1/24", "dev", "nr0"}));
        QVERIFY(!test::runIp({"addr", "add", "10.68.0.1/24", "dev", "nr0"}));
        QTRY_COMPARE_WITH_TIMEOUT(reportedFingerprints(), QStringList({"a", "b"}), 30'000); // "a" only once

        const auto [statusCode, statusOutput] = agentCommand({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(statusCode, 0);
        const Json status = parseJson(statusOutput);
        QCOMPARE(status.at("registered").get<bool>(), true);
        QCOMPARE(status.at("fingerprintFile").at("fingerprintVersion").get<qint64>(), 3);
        QCOMPARE(status.at("context").at("internalAddresses").at(0).at("address").get<std::string>(), "10.68.0.1");
        QCOMPARE(status.at("evaluation").at("match").at("fingerprintId").get<std::string>(), "b");

        // The service has forgotten the agent: the next check-in is refused and the agent enrols anew.
        const QString firstInstance = service.agents().value(agentId).instanceId;
        const QString firstSecret = service.agents().value(agentId).secret;
        service.failNextCheckin(412);
        const QDBusMessage checkin = QDBusMessage::createMethodCall(agentbus::serviceName, agentbus::objectPath,
                                                                    agentbus::interfaceName, QStringLiteral("CheckIn"));
        QCOMPARE(QDBusConnection::sessionBus().call(checkin).type(), QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(service.agents().value(agentId).instanceId != firstInstance, 30'000);
        QTRY_VERIFY_WITH_TIMEOUT(service.agents().value(agentId).completed, 30'000);

        const auto [listCode, listOutput] = agentCommand({QStringLiteral("config"), QStringLiteral("list")});
        QCOMPARE(listCode, 0);
        QVERIFY2(listOutput.contains("agentSecret") && listOutput.contains("present"), listOutput.constData());

        ::kill(static_cast<pid_t>(agent.processId()), SIGTERM);
        QVERIFY(agent.waitForFinished(10'000));
        QVERIFY(agent.exitStatus() == QProcess::NormalExit && agent.exitCode() == 0);
        QVERIFY2(service.refusals().isEmpty(), qPrintable(service.refusals().join(u'\n')));

        // The secrets audit.
        QHash<QString, QByteArray> texts = filesTheAgentWrote();
        QVERIFY2(texts.size() >= 2, qPrintable(QStringList(texts.keys()).join(u' '))); // settings and local copy
        for (auto it = texts.begin(); it != texts.end(); ++it) {
            // The key is in the settings because the user put it there, in its own line only.
            it.value().replace("registrationKey=" + config.registrationKey.toUtf8(), "registrationKey=");
        }
        texts.insert(QStringLiteral("the agent's log"), agent.readAll());
        texts.insert(QStringLiteral("status --json"), statusOutput);
        texts.insert(QStringLiteral("config list"), listOutput);
        QByteArrayList secrets{firstSecret.toUtf8(), service.agents().value(agentId).secret.toUtf8(),
                               config.registrationKey.toUtf8()};
        secrets += service.signatures();
        QVERIFY(service.signatures().size() >= 4);
        for (const QByteArray& secret : secrets) {
            QVERIFY(secret.size() >= 7);
            for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
                QVERIFY2(!it.value().contains(secret), qPrintable(it.key() + QStringLiteral(" holds a credential")));
            }
        }
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
