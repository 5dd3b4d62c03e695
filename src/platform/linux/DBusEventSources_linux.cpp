#include "platform/linux/SessionEventSources_linux.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QVariantMap>

#include <unistd.h>

namespace nerova {

namespace {

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Session = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString mutterService = QStringLiteral("org.gnome.Mutter.IdleMonitor");
const QString mutterPath = QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core");
constexpr int callTimeoutMs = 2000;

// Calls that the agent cannot wait long for: a bus that does not answer must not stall the loop.
std::optional<QDBusMessage> callBriefly(QDBusConnection& bus, const QDBusMessage& call, QString& whyNot)
{
    const QDBusMessage reply = bus.call(call, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        whyNot = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
        return std::nullopt;
    }
    return reply;
}

// Signals of one logind session: lock and unlock (LockedHint and the Lock and Unlock signals) and
// the end of idleness (IdleHint falling to false). Handlers left empty are not called.
class LogindSessionWatch final : public QObject, public EventRegistration {
    Q_OBJECT

public:
    LogindSessionWatch(QDBusConnection bus, QString path, LockEventSources::Handler locked,
                       LockEventSources::Handler unlocked, LockEventSources::Handler active)
        : bus_(std::move(bus)),
          path_(std::move(path)),
          locked_(std::move(locked)),
          unlocked_(std::move(unlocked)),
          active_(std::move(active))
    {
        bus_.connect(login1, path_, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                     SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        if (locked_) {
            bus_.connect(login1, path_, login1Session, QStringLiteral("Lock"), this, SLOT(lock()));
            bus_.connect(login1, path_, login1Session, QStringLiteral("Unlock"), this, SLOT(unlock()));
        }
    }

    ~LogindSessionWatch() override
    {
        bus_.disconnect(login1, path_, propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                        SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        if (locked_) {
            bus_.disconnect(login1, path_, login1Session, QStringLiteral("Lock"), this, SLOT(lock()));
            bus_.disconnect(login1, path_, login1Session, QStringLiteral("Unlock"), this, SLOT(unlock()));
        }
    }

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
    {
        if (interface != login1Session) {
            return;
        }
        if (locked_) {
            if (const auto hint = changed.constFind(QStringLiteral("LockedHint")); hint != changed.cend()) {
                hint->toBool() ? locked_() : unlocked_();
            }
        }
        if (active_) {
            if (const auto hint = changed.constFind(QStringLiteral("IdleHint"));
                hint != changed.cend() && !hint->toBool()) {
                active_();
            }
        }
    }
    void lock() { locked_(); }
    void unlock() { unlocked_(); }

private:
    QDBusConnection bus_;
    QString path_;
    LockEventSources::Handler locked_;
    LockEventSources::Handler unlocked_;
    LockEventSources::Handler active_;
};

// ActiveChanged(bool) of both screen-saver interfaces, from any sender and path.
class ScreenSaverWatch final : public QObject, public EventRegistration {
    Q_OBJECT

public:
    ScreenSaverWatch(QDBusConnection bus, LockEventSources::Handler locked, LockEventSources::Handler unlocked)
        : bus_(std::move(bus)), locked_(std::move(locked)), unlocked_(std::move(unlocked))
    {
        for (const QString& interface : interfaces()) {
            bus_.connect(QString(), QString(), interface, QStringLiteral("ActiveChanged"), this,
                         SLOT(activeChanged(bool)));
        }
    }

    ~ScreenSaverWatch() override
    {
        for (const QString& interface : interfaces()) {
            bus_.disconnect(QString(), QString(), interface, QStringLiteral("ActiveChanged"), this,
                            SLOT(activeChanged(bool)));
        }
    }

private slots:
    void activeChanged(bool active) { active ? locked_() : unlocked_(); }

private:
    static QStringList interfaces()
    {
        return {QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver")};
    }

    QDBusConnection bus_;
    LockEventSources::Handler locked_;
    LockEventSources::Handler unlocked_;
};

// The compositor's user-active watch fires once, on the first input after it was added. To see
// the first activity after each idle period without a round trip per input event, the watch is
// re-armed only after an idle watch has fired, that is after `idleInterval` without input.
class MutterActiveWatch final : public QObject, public EventRegistration {
    Q_OBJECT

public:
    static constexpr quint64 idleIntervalMs = 60'000;

    MutterActiveWatch(QDBusConnection bus, quint32 activeWatch, LockEventSources::Handler active)
        : bus_(std::move(bus)), activeWatch_(activeWatch), active_(std::move(active))
    {
        bus_.connect(mutterService, mutterPath, mutterService, QStringLiteral("WatchFired"), this,
                     SLOT(watchFired(uint)));
    }

    ~MutterActiveWatch() override
    {
        bus_.disconnect(mutterService, mutterPath, mutterService, QStringLiteral("WatchFired"), this,
                        SLOT(watchFired(uint)));
        for (const std::optional<quint32>& watch : {activeWatch_, idleWatch_}) {
            if (watch) {
                QDBusMessage call = QDBusMessage::createMethodCall(mutterService, mutterPath, mutterService,
                                                                   QStringLiteral("RemoveWatch"));
                call << *watch;
                bus_.call(call, QDBus::NoBlock);
            }
        }
    }

private slots:
    void watchFired(uint id)
    {
        if (activeWatch_ && id == *activeWatch_) {
            activeWatch_.reset();
            addWatch(QStringLiteral("AddIdleWatch"), idleIntervalMs, idleWatch_);
            active_();
        } else if (idleWatch_ && id == *idleWatch_) {
            idleWatch_.reset(); // idle watches repeat; one idle period is enough
            QDBusMessage call =
                QDBusMessage::createMethodCall(mutterService, mutterPath, mutterService, QStringLiteral("RemoveWatch"));
            call << id;
            bus_.call(call, QDBus::NoBlock);
            addWatch(QStringLiteral("AddUserActiveWatch"), std::nullopt, activeWatch_);
        }
    }

private:
    void addWatch(const QString& method, std::optional<quint64> interval, std::optional<quint32>& into)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(mutterService, mutterPath, mutterService, method);
        if (interval) {
            call << QVariant::fromValue(*interval);
        }
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, callTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [&into](QDBusPendingCallWatcher* finished) {
            const QDBusPendingReply<quint32> reply = *finished;
            if (reply.isValid()) {
                into = reply.value();
            }
            finished->deleteLater();
        });
    }

    QDBusConnection bus_;
    std::optional<quint32> activeWatch_;
    std::optional<quint32> idleWatch_;
    LockEventSources::Handler active_;
};

} // namespace

std::optional<QString> findLogindSession(QDBusConnection systemBus, QString& whyNot)
{
    const QString managerPath = QStringLiteral("/org/freedesktop/login1");
    const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
    QDBusMessage byPid =
        QDBusMessage::createMethodCall(login1, managerPath, manager, QStringLiteral("GetSessionByPID"));
    byPid << static_cast<quint32>(::getpid());
    if (const auto reply = callBriefly(systemBus, byPid, whyNot)) {
        return reply->arguments().first().value<QDBusObjectPath>().path();
    }
    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (sessionId.isEmpty()) {
        return std::nullopt;
    }
    QDBusMessage byId = QDBusMessage::createMethodCall(login1, managerPath, manager, QStringLiteral("GetSession"));
    byId << sessionId;
    if (const auto reply = callBriefly(systemBus, byId, whyNot)) {
        return reply->arguments().first().value<QDBusObjectPath>().path();
    }
    return std::nullopt;
}

std::unique_ptr<EventRegistration> watchLogindLock(QDBusConnection systemBus, const QString& sessionPath,
                                                   LockEventSources::Handler locked, LockEventSources::Handler unlocked)
{
    return std::make_unique<LogindSessionWatch>(std::move(systemBus), sessionPath, std::move(locked),
                                                std::move(unlocked), nullptr);
}

std::unique_ptr<EventRegistration> watchScreenSaver(QDBusConnection sessionBus, LockEventSources::Handler locked,
                                                    LockEventSources::Handler unlocked)
{
    return std::make_unique<ScreenSaverWatch>(std::move(sessionBus), std::move(locked), std::move(unlocked));
}

std::unique_ptr<EventRegistration> watchMutterUserActive(QDBusConnection sessionBus, LockEventSources::Handler active,
                                                         QString& whyNot)
{
    const QDBusMessage call =
        QDBusMessage::createMethodCall(mutterService, mutterPath, mutterService, QStringLiteral("AddUserActiveWatch"));
    const auto reply = callBriefly(sessionBus, call, whyNot);
    if (!reply) {
        return nullptr;
    }
    return std::make_unique<MutterActiveWatch>(std::move(sessionBus), reply->arguments().first().toUInt(),
                                               std::move(active));
}

std::unique_ptr<EventRegistration> watchLogindIdleEnd(QDBusConnection systemBus, const QString& sessionPath,
                                                      LockEventSources::Handler active)
{
    return std::make_unique<LogindSessionWatch>(std::move(systemBus), sessionPath, nullptr, nullptr, std::move(active));
}

} // namespace nerova

#include "DBusEventSources_linux.moc"
