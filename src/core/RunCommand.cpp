// nerova-agent run: the agent without a desktop.
#include "core/AgentBusAdaptor.h"
#include "core/AgentWiring.h"
#include "core/Command.h"
#include "core/Commands.h"
#include "core/StopSignals.h"

#include <QCoroSignal>
#include <QDBusConnection>

namespace nerova {

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
    if (const std::optional<QString> problem = publishAgent(agent, QDBusConnection::sessionBus())) {
        console.error() << "run: " << *problem << '\n';
        co_return exitcode::failure;
    }
    const StopSignals stop([&agent] { agent.stop(); });
    agent.start();
    co_await qCoro(&agent, &Agent::stopped);
    co_return exitcode::success;
}

} // namespace nerova
