#include "ui/DesktopMain.h"

#include "agent/AgentBusAdaptor.h"
#include "agent/AgentWiring.h"
#include "common/BuildInfo.h"
#include "common/LogHandler.h"
#include "common/StopSignals.h"
#include "ui/Appearance.h"
#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/DesktopBusAdaptor.h"
#include "ui/PlatformChoice.h"
#include "ui/SymbolIcon.h"
#include "ui/Translations.h"
#include "ui/ViewLogging.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace nerova {

Q_LOGGING_CATEGORY(lcView, "nerova.View", QtInfoMsg)

namespace {

// Asks the agent that owns the name to show its window: false when it has none (`run`).
bool showRunningWindow(QDBusConnection& bus)
{
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(QString::fromLatin1(agentbus::serviceName),
                                                                       QString::fromLatin1(agentbus::objectPath),
                                                                       QString::fromLatin1(desktopbus::interfaceName),
                                                                       QStringLiteral("ShowWindow")),
                                        QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool isAgentRunning(QDBusConnection& bus)
{
    return bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromLatin1(agentbus::serviceName));
}

// Says that the desktop agent cannot run here, and what can.
int needsGraphicalSession(const char* reason)
{
    std::fprintf(stderr,
                 "nerova-agent: the desktop agent needs a graphical session, and %s; 'nerova-agent run' runs the "
                 "agent without a desktop\n",
                 reason);
    return 1;
}

} // namespace

int runDesktopAgent(int& argc, char** argv)
{
    // A platform chosen on purpose (offscreen, vnc, ...) may need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return needsGraphicalSession("neither DISPLAY nor WAYLAND_DISPLAY is set");
    }
    choosePreferredQtPlatform();
    // Qt aborts the process when its platform plugin cannot start (a display that does not answer):
    // the one fatal line it writes then ends the process here, with the agent's own word.
    auto platformFailure = std::make_unique<LogReceiver>([](QtMsgType type, const char*, const QString&) {
        if (type == QtFatalMsg) {
            std::_Exit(needsGraphicalSession("the display cannot be opened"));
        }
        return false;
    });
    QApplication app(argc, argv);
    platformFailure.reset();
    QApplication::setOrganizationName(QStringLiteral("Nerova"));
    // The name panels show for the tray item; no path depends on it (see appDataDirectory()).
    QApplication::setApplicationName(QStringLiteral("Nerova Agent"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nerova Agent"));
    installAccessibility(); // screen readers know the application by the display name
    QApplication::setDesktopFileName(QString::fromLatin1(buildinfo::identifier));
    QApplication::setQuitOnLastWindowClosed(false);
    installTranslations(QLocale()); // the user's languages, before any text is made
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(buildinfo::identifier), trayIcon(true)));

    // A desktop agent already running shows its window; one without a window (`nerova-agent run`,
    // perhaps started by the user unit) gives its name up to this one below.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (isAgentRunning(bus) && showRunningWindow(bus)) {
        return 0;
    }

    const SystemClock clock;
    Settings settings = makeUserSettings();
    SystemAgentParts parts = makeSystemAgentParts(settings, clock);
    Agent agent(std::move(parts.components), settings, clock);
    DesktopApplication desktop(agent, [] { QCoreApplication::quit(); });
    new DesktopBusAdaptor(agent, [&desktop] { desktop.showWindow(); });
    if (const std::optional<QString> problem = publishAgent(agent, bus, BusNameRole::takesOver)) {
        if (isAgentRunning(bus)) { // another agent holds the name and does not give it up
            if (showRunningWindow(bus)) {
                return 0;
            }
            std::fprintf(stderr, "nerova-agent: an agent without a window is already running in this session\n");
            return 1;
        }
        qCWarning(lcView, "The agent is not on the session bus: %s", qUtf8Printable(*problem));
    }

    AutostartLoginItem loginItem = AutostartLoginItem::forCurrentUser();
    QCoro::Task<void> launching =
        desktop.launch(QSystemTrayIcon::isSystemTrayAvailable(), KeyPairSource::system(), loginItem);
    QCoro::Task<void> noticing = desktop.showFirstLaunchNotice(bus);
    // Logging out ends the session's processes with SIGTERM: stop the agent on the way out.
    const StopSignals stopSignals([] { QCoreApplication::quit(); });
    const int code = QApplication::exec();
    agent.stop();
    return code;
}

} // namespace nerova
