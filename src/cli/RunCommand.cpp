// nerova-agent run: the agent without a desktop.
#include "agent/AgentBusAdaptor.h"
#include "agent/AgentWiring.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/StopSignals.h"

#include <QCoroSignal>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLoggingCategory>

namespace nerova {

Q_LOGGING_CATEGORY(lcRun, "nerova.Run", QtInfoMsg)

namespace {

// Tells when the agent's session bus goes away, or a desktop agent takes the agent's name.
class BusWatch : public QObject {
    Q_OBJECT
public:
    explicit BusWatch(QDBusConnection bus)
    {
        bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                    QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                    SLOT(disconnected()));
        connect(bus.interface(), &QDBusConnectionInterface::serviceUnregistered, this, [this](const QString& name) {
            if (name == QLatin1String(agentbus::serviceName)) {
                emit ended(false);
            }
        });
    }

signals:
    void ended(bool busLost);

private slots:
    void disconnected() { emit ended(true); }
};

} // namespace

QCoro::Task<int> runRunCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    if (const std::optional<int> done = parseCommandArguments(parser, arguments, console, QStringLiteral("run"))) {
        co_return *done;
    }
    const SystemClock clock;
    Settings settings = makeUserSettings();
    SystemAgentParts parts = makeSystemAgentParts(settings, clock);
    Agent agent(std::move(parts.components), settings, clock);
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (const std::optional<QString> problem = publishAgent(agent, bus, BusNameRole::yieldsToDesktop)) {
        console.error() << "run: " << *problem << '\n';
        co_return exitcode::failure;
    }
    int code = exitcode::success;
    const BusWatch watch(bus);
    QObject::connect(&watch, &BusWatch::ended, &agent, [&agent, &code](bool busLost) {
        if (busLost) {
            qCCritical(lcRun, "The session bus went away: the agent stops");
            code = exitcode::lostBus;
        } else {
            qCInfo(lcRun, "A desktop agent took over in this session: this agent stops");
        }
        agent.stop();
    });
    const StopSignals stop([&agent] { agent.stop(); });
    agent.start();
    co_await qCoro(&agent, &Agent::stopped);
    co_return code;
}

} // namespace nerova

#include "RunCommand.moc"
