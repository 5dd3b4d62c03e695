#include "ui/DesktopMain.h"

#include "common/Await.h"
#include "common/BuildInfo.h"
#include "common/Clock.h"
#include "core/Agent.h"
#include "core/KeychainSecretStore.h"
#include "core/NerovaServiceConnection.h"
#include "core/SystemMonitors.h"
#include "service/FingerprintFileClient.h"
#include "service/PublicIPClient.h"
#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/DesktopBusAdaptor.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QNetworkAccessManager>

namespace nerova {

Q_LOGGING_CATEGORY(lcView, "nerova.View")

namespace {

constexpr const char* serviceName = "app.nerova.NerovaAgent";
constexpr const char* objectPath = "/app/nerova/NerovaAgent";

// Asks the agent that owns the name to show its window; false when nobody answers.
bool showRunningWindow(QDBusConnection& bus)
{
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(QString::fromLatin1(serviceName), QString::fromLatin1(objectPath),
                                       QString::fromLatin1(desktopbus::interfaceName), QStringLiteral("ShowWindow")),
        QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

Logger logger(const char* subsystem, const char* category)
{
    return Logger(QString::fromLatin1(subsystem), QString::fromLatin1(category));
}

// The agent of this session with the system's monitors, credential store and service clients.
struct SystemAgent {
    SystemClock clock;
    QNetworkAccessManager session;
    Settings settings{Settings::defaultUserFile(), Settings::defaultManagedDirectory(),
                      logger(buildinfo::identifier, "Settings")};
    FingerprintFileClient files{session, settings, logger("com.nerova.nerovaagent", "FingerprintFileClient")};
    std::unique_ptr<Agent> agent;

    SystemAgent()
    {
        const std::optional<QString> endpoint = settings.text(QString::fromLatin1(settingskey::publicIpEndpoint));
        AgentComponents parts;
        parts.machineState = std::make_unique<MachineState>(logger("com.nerova.NerovaAgent", "MachineState"));
        parts.networkMonitor = makeSystemNetworkMonitor(endpoint ? QUrl(*endpoint) : PublicIPClient::defaultEndpoint());
        const Logger engineLogger = logger(buildinfo::identifier, "RulesEngine");
        parts.rulesEngine = std::make_unique<RulesEngine>(engineLogger, session, makeSystemProbes(engineLogger));
        parts.lockMonitor = makeSystemLockMonitor(clock);
        parts.secretStore =
            std::make_unique<KeychainSecretStore>(AgentSecret(logger(buildinfo::identifier, "AgentSecret")));
        parts.service = std::make_unique<NerovaServiceConnection>(session, settings, clock, files);
        agent = std::make_unique<Agent>(std::move(parts), settings, clock);
    }
};

} // namespace

int runDesktopAgent(int& argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Nerova"));
    QApplication::setApplicationName(QStringLiteral("NerovaAgent"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nerova Agent"));
    QApplication::setDesktopFileName(QString::fromLatin1(buildinfo::identifier));
    QApplication::setQuitOnLastWindowClosed(false);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromLatin1(serviceName))) {
        return showRunningWindow(bus) ? 0 : 1;
    }

    SystemAgent system;
    DesktopApplication desktop(*system.agent, [] { QCoreApplication::quit(); });
    new DesktopBusAdaptor(*system.agent, [&desktop] { desktop.showWindow(); });
    if (!bus.isConnected()) {
        qCWarning(lcView, "No session bus: a second launch cannot find this agent");
    } else if (!bus.registerObject(QString::fromLatin1(objectPath), system.agent.get(),
                                   QDBusConnection::ExportAdaptors) ||
               !bus.registerService(QString::fromLatin1(serviceName))) {
        // Another agent took the name meanwhile: it is the one the user sees.
        return showRunningWindow(bus) ? 0 : 1;
    }

    AutostartLoginItem loginItem = AutostartLoginItem::forCurrentUser();
    QCoro::Task<void> launching =
        desktop.launch(QSystemTrayIcon::isSystemTrayAvailable(), KeyPairSource::system(), loginItem);
    const int code = QApplication::exec();
    system.agent->stop();
    return code;
}

} // namespace nerova
