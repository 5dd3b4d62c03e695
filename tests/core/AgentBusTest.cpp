#include "core/AgentBusAdaptor.h"

#include "AgentStandIns.h"
#include "CommandRun.h"
#include "core/Agent.h"
#include "rules/FingerprintFileJson.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

using namespace nerova;
using namespace nerova::test;

// The running agent on a private session bus: properties with their change signals, and the
// commands that talk to it. (One agent per session: AgentRunTest.)
class AgentBusTest : public QObject {
    Q_OBJECT

    QStringList events_;
    ManualClock clock_{QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC)};
    QNetworkAccessManager session_;
    QTemporaryDir dir_;
    std::unique_ptr<Settings> settings_;
    StandInNetwork* network_ = nullptr;
    std::unique_ptr<Agent> agent_;

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run on a private session bus (with-session-bus.sh)");
        settings_ = std::make_unique<Settings>(dir_.filePath(QStringLiteral("settings.conf")),
                                               dir_.filePath(QStringLiteral("managed")));
        AgentComponents parts;
        parts.machineState = std::make_unique<MachineState>();
        parts.networkMonitor = std::make_unique<StandInNetwork>(events_);
        network_ = static_cast<StandInNetwork*>(parts.networkMonitor.get());
        parts.rulesEngine = std::make_unique<RulesEngine>(makeSystemProbes(session_));
        parts.lockMonitor = std::make_unique<StandInLock>();
        parts.secretStore = std::make_unique<StandInSecrets>();
        parts.service = std::make_unique<ScriptedService>(events_);
        agent_ = std::make_unique<Agent>(std::move(parts), *settings_, clock_);
    }

    void commandsFailWhileNoAgentRuns()
    {
        for (const char* name : {"status", "refresh"}) {
            test::verifyResult(runCommand({QString::fromLatin1(name)}), 1, {},
                               QStringLiteral("nerova-agent: no agent is running in this session\n"));
        }
        QCOMPARE(publishAgent(*agent_, QDBusConnection::sessionBus()), std::nullopt); // for the next cases
    }

    // A change of what the status window shows is announced, and the properties read the new state.
    void announcesChangesOfItsProperties()
    {
        QDBusConnection listener =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("listener"));
        QSignalSpy announced(this, &AgentBusTest::propertiesChanged);
        QVERIFY(listener.connect(agentbus::serviceName, agentbus::objectPath,
                                 QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
                                 this, SIGNAL(propertiesChanged(QString, QVariantMap, QStringList))));
        settings_->setText(settingskey::agentEndpoint, QStringLiteral("not a url"));
        QTest::ignoreMessage(QtCriticalMsg, "Failed to register - Not configured");
        agent_->checkin();
        QVERIFY(announced.wait(5000));
        QCOMPARE(announced.first().at(0).toString(), QString::fromLatin1(agentbus::interfaceName));
        QCOMPARE(announced.first().at(1).toMap(),
                 QVariantMap({{QStringLiteral("Message"), QStringLiteral("Not configured")}}));

        QDBusInterface remote(agentbus::serviceName, agentbus::objectPath, agentbus::interfaceName);
        QCOMPARE(remote.property("Message").toString(), QStringLiteral("Not configured"));
        QCOMPARE(remote.property("Registered").toBool(), false);
        QCOMPARE(remote.property("LastCheckin").toString(), QString());
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
    }

    void statusShowsTheWholeState()
    {
        agent_->start();
        NetworkContext context;
        context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("eth0"), QStringLiteral("10.1.0.5")});
        QSignalSpy handled(agent_.get(), &Agent::contextHandled);
        network_->contexts.send(context);
        QVERIFY(handled.wait(5000));

        // The text is made from the JSON the agent answers (which the run test reads too).
        test::verifyResult(runCommand({QStringLiteral("status")}), 0,
                           {QStringLiteral("Location:              none\n"),
                            QStringLiteral("Last presence check:   2026-03-02T10:00:00Z\n"),
                            QStringLiteral("Message:               Not configured\n")},
                           QString());

        const int refreshes = network_->refreshes;
        QCOMPARE(runCommand({QStringLiteral("refresh")}).code, 0);
        QCOMPARE(network_->refreshes, refreshes + 1);
        agent_->stop();
    }

    void cleanupTestCase()
    {
        QVERIFY(QTest::qWaitFor([this] { return !agent_->isCheckinRunning(); }));
    }

signals:
    void propertiesChanged(QString interfaceName, QVariantMap changed, QStringList invalidated);
};

QTEST_GUILESS_MAIN(AgentBusTest)

#include "AgentBusTest.moc"
