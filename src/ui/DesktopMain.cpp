#include "ui/DesktopMain.h"

#include "common/BuildInfo.h"
#include "core/AgentBusAdaptor.h"
#include "core/AgentWiring.h"
#include "core/StopSignals.h"
#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/DesktopBusAdaptor.h"
#include "ui/SymbolIcon.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLoggingCategory>

#include <cstdio>

namespace nerova {

Q_LOGGING_CATEGORY(lcView, "nerova.View")

namespace {

// Asks the agent that owns the name to show its window: exit code 0 when it did.
int showRunningWindow(QDBusConnection& bus)
{
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(QString::fromLatin1(agentbus::serviceName),
                                                                       QString::fromLatin1(agentbus::objectPath),
                                                                       QString::fromLatin1(desktopbus::interfaceName),
                                                                       QStringLiteral("ShowWindow")),
                                        QDBus::Block, 5000);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return 0;
    }
    std::fprintf(stderr, "nerova-agent: an agent without a window is already running in this session (%s)\n",
                 qPrintable(reply.errorMessage()));
    return 1;
}

} // namespace

int runDesktopAgent(int& argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Nerova"));
    QApplication::setApplicationName(QStringLiteral("NerovaAgent"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nerova Agent"));
    QApplication::setDesktopFileName(QString::fromLatin1(buildinfo::identifier));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(buildinfo::identifier), trayIcon(true)));

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromLatin1(agentbus::serviceName))) {
        return showRunningWindow(bus);
    }

    const SystemClock clock;
    Settings settings = makeUserSettings();
    SystemAgentParts parts = makeSystemAgentParts(settings, clock);
    Agent agent(std::move(parts.components), settings, clock);
    DesktopApplication desktop(agent, [] { QCoreApplication::quit(); });
    new DesktopBusAdaptor(agent, [&desktop] { desktop.showWindow(); });
    if (const std::optional<QString> problem = publishAgent(agent, bus)) {
        if (bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromLatin1(agentbus::serviceName))) {
            return showRunningWindow(bus); // another agent took the name meanwhile
        }
        qCWarning(lcView, "The agent is not on the session bus: %s", qUtf8Printable(*problem));
    }

    AutostartLoginItem loginItem = AutostartLoginItem::forCurrentUser();
    QCoro::Task<void> launching =
        desktop.launch(QSystemTrayIcon::isSystemTrayAvailable(), KeyPairSource::system(), loginItem);
    // Logging out ends the session's processes with SIGTERM: stop the agent on the way out.
    const StopSignals stopSignals([] { QCoreApplication::quit(); });
    const int code = QApplication::exec();
    agent.stop();
    return code;
}

} // namespace nerova
