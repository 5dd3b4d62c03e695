#include "agent/LockMonitorLogging.h"
#include "platform/linux/SessionEventSources_linux.h"

#include <QDBusError>

namespace nerova {

namespace {

bool isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == u"wayland" || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Lock signals from logind (system bus) and the screen saver (session bus); clicks from X11, or
// on Wayland the end of idleness from the compositor or logind.
class SystemLockEventSources final : public LockEventSources {
public:
    std::vector<std::unique_ptr<EventRegistration>> addLockObservers(Handler locked, Handler unlocked) override
    {
        std::vector<std::unique_ptr<EventRegistration>> observers;
        QDBusConnection system = QDBusConnection::systemBus();
        QString whyNot;
        if (!system.isConnected()) {
            qCWarning(lcLockMonitor, "No system bus, logind's lock signals are not followed: %s",
                      qUtf8Printable(system.lastError().message()));
        } else if (const std::optional<QString> session = sessionPath(whyNot)) {
            observers.push_back(watchLogindLock(system, *session, locked, unlocked));
        } else {
            qCWarning(lcLockMonitor, "No logind session, its lock signals are not followed: %s",
                      qUtf8Printable(whyNot));
        }
        QDBusConnection sessionBus = QDBusConnection::sessionBus();
        if (sessionBus.isConnected()) {
            observers.push_back(watchScreenSaver(sessionBus, locked, unlocked));
        } else {
            qCWarning(lcLockMonitor, "No session bus, the screen saver's signals are not followed: %s",
                      qUtf8Printable(sessionBus.lastError().message()));
        }
        return observers;
    }

    std::unique_ptr<EventRegistration> addGlobalClickMonitor(Handler clicked, QString& whyNot) override
    {
        QStringList reasons;
        QString reason;
        if (!isWaylandSession()) {
            if (auto monitor = watchX11Clicks(clicked, reason)) {
                return monitor;
            }
            reasons << QStringLiteral("X11: ") + reason;
        } else {
            reasons << QStringLiteral("X11: a Wayland session has no global click monitor");
        }
        if (QDBusConnection sessionBus = QDBusConnection::sessionBus(); sessionBus.isConnected()) {
            if (auto watch = watchMutterUserActive(sessionBus, clicked, reason)) {
                return watch;
            }
            reasons << QStringLiteral("idle monitor: ") + reason;
        }
        if (QDBusConnection::systemBus().isConnected()) {
            if (const std::optional<QString> session = sessionPath(reason)) {
                return watchLogindIdleEnd(QDBusConnection::systemBus(), *session, std::move(clicked));
            }
            reasons << QStringLiteral("logind: ") + reason;
        }
        whyNot = reasons.join(QStringLiteral("; "));
        return nullptr;
    }

private:
    std::optional<QString> sessionPath(QString& whyNot)
    {
        if (!session_) {
            session_ = findLogindSession(QDBusConnection::systemBus(), whyNot);
        }
        return session_;
    }

    std::optional<QString> session_;
};

} // namespace

std::unique_ptr<LockEventSources> makeSystemLockEventSources() { return std::make_unique<SystemLockEventSources>(); }

} // namespace nerova
