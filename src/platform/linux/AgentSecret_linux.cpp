#include "service/AgentSecret.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QLibrary>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QUuid>

#include <qt6keychain/keychain.h>

#include <memory>

namespace nerova {

namespace {

Q_LOGGING_CATEGORY(lcAgentSecret, "nerova.AgentSecret", QtInfoMsg)

using Case = AgentSecretError::Case;
using std::chrono::milliseconds;

const QString secretServiceName = QStringLiteral("org.freedesktop.secrets");

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using JobPointer = std::unique_ptr<T, DeleteLater>;

milliseconds remaining(const QDeadlineTimer& deadline)
{
    return std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(deadline.remainingTimeAsDuration()));
}

AgentSecretError timedOut(milliseconds timeout)
{
    return AgentSecretError(Case::timedOut,
                            QStringLiteral("the Secret Service did not answer within %1 ms; a locked keyring may be "
                                           "waiting for its password: unlock it and try again")
                                .arg(timeout.count()));
}

AgentSecretError noSessionBus(const QString& detail)
{
    return AgentSecretError(Case::noSessionBus,
                            QStringLiteral("no D-Bus session bus is reachable (%1); the agent keeps its secret in the "
                                           "Secret Service of the desktop session: run it inside a logged-in desktop "
                                           "session")
                                .arg(detail));
}

AgentSecretError noSecretService()
{
    return AgentSecretError(Case::noSecretService,
                            QStringLiteral("no Secret Service (org.freedesktop.secrets) runs or can be started on the "
                                           "D-Bus session bus; install and start a keyring that provides it, for "
                                           "example GNOME Keyring (gnome-keyring-daemon --start --components=secrets) "
                                           "or KWallet with its Secret Service enabled"));
}

QDBusMessage busCall(const QString& method, const QVariantList& arguments)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), method);
    message.setArguments(arguments);
    return message;
}

// The first argument of the bus's reply, or the error it stands for.
QVariant busAnswer(const QDBusMessage& reply, milliseconds timeout)
{
    if (reply.type() != QDBusMessage::ErrorMessage) {
        return reply.arguments().value(0);
    }
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        throw timedOut(timeout);
    }
    throw AgentSecretError(Case::failed, QStringLiteral("the D-Bus session bus failed: ") + reply.errorMessage());
}

// One call to the message bus itself, bounded by `deadline`.
QCoro::Task<QDBusMessage> callBus(QDBusConnection bus, QDBusMessage message, QDeadlineTimer deadline)
{
    const QDBusPendingCall call = bus.asyncCall(message, int(remaining(deadline).count()));
    co_return co_await call;
}

QCoro::Task<QVariant> askBus(QDBusConnection bus, QDBusMessage message, QDeadlineTimer deadline, milliseconds timeout)
{
    const QDBusMessage reply = co_await callBus(bus, message, deadline);
    co_return busAnswer(reply, timeout);
}

// The keychain library reaches the Secret Service through libsecret, which keeps one connection to
// the service, with its session, for the whole process. Once the keyring has restarted that
// session is gone, and every call would fail ("The session wrapping the secret does not exist")
// until the agent restarts. So when the service has another owner than at the last call, the
// connection is dropped, and the next call opens a new one.
void forgetConnectionUnlessTo(const QString& owner)
{
    static QString lastOwner; // as long-lived as libsecret's connection
    if (owner == lastOwner) {
        return;
    }
    const bool replaced = !lastOwner.isEmpty();
    lastOwner = owner;
    using Disconnect = void (*)();
    const auto disconnect =
        reinterpret_cast<Disconnect>(QLibrary::resolve(QStringLiteral("secret-1"), 0, "secret_service_disconnect"));
    if (replaced && disconnect) {
        disconnect();
    }
}

// The keychain library reaches the Secret Service through GLib's shared session-bus connection,
// which by default ends the whole process with SIGTERM when the bus goes away. The agent handles a
// lost bus itself (`run` ends with a status of its own, which its supervisor restarts), so the
// shared connection is told to leave the process alone. It is kept for the process's life.
void keepProcessWhenTheBusCloses()
{
    static const bool done = [] {
        using BusGetSync = void* (*)(int busType, void* cancellable, void** error);
        using SetExitOnClose = void (*)(void* connection, int exitOnClose);
        constexpr int sessionBusType = 2; // G_BUS_TYPE_SESSION
        const auto busGetSync =
            reinterpret_cast<BusGetSync>(QLibrary::resolve(QStringLiteral("gio-2.0"), 0, "g_bus_get_sync"));
        const auto setExitOnClose = reinterpret_cast<SetExitOnClose>(
            QLibrary::resolve(QStringLiteral("gio-2.0"), 0, "g_dbus_connection_set_exit_on_close"));
        if (busGetSync && setExitOnClose) {
            if (void* connection = busGetSync(sessionBusType, nullptr, nullptr)) {
                setExitOnClose(connection, 0);
            }
        }
        return true;
    }();
    Q_UNUSED(done);
}

// Fails fast, and says what to do, when no Secret Service can answer: without this check the
// keychain library would only report an opaque error, or wait for a service that never comes.
QCoro::Task<void> requireSecretService(QDeadlineTimer deadline, milliseconds timeout)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        throw noSessionBus(bus.lastError().message());
    }
    keepProcessWhenTheBusCloses();
    const QDBusMessage getOwner = busCall(QStringLiteral("GetNameOwner"), QVariantList{secretServiceName});
    const QDBusMessage owner = co_await callBus(bus, getOwner, deadline);
    if (owner.type() != QDBusMessage::ErrorMessage ||
        owner.errorName() != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        forgetConnectionUnlessTo(busAnswer(owner, timeout).toString());
        co_return;
    }
    const QDBusMessage listActivatable = busCall(QStringLiteral("ListActivatableNames"), QVariantList());
    const QVariant activatable = co_await askBus(bus, listActivatable, deadline, timeout);
    if (!activatable.toStringList().contains(secretServiceName)) {
        throw noSecretService();
    }
}

// Runs `job` until it finishes or `deadline` passes. A job that timed out is released to delete
// itself when it finishes at last, because the keychain library still refers to it.
template <typename Job>
QCoro::Task<void> runJob(JobPointer<Job>& job, QDeadlineTimer deadline, milliseconds timeout,
                         const char* key = AgentSecret::key)
{
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromLatin1(key));
    auto finished = qCoro(static_cast<QKeychain::Job*>(job.get()), &QKeychain::Job::finished, remaining(deadline));
    job->start();
    const auto result = co_await finished;
    if (!result) {
        job.release()->setAutoDelete(true);
        throw timedOut(timeout);
    }
}

AgentSecretError keychainError(const QKeychain::Job& job)
{
    switch (job.error()) {
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        return AgentSecretError(Case::failed, QStringLiteral("access to the keyring was denied (%1); unlock the "
                                                             "keyring and try again")
                                                  .arg(job.errorString()));
    case QKeychain::NoBackendAvailable:
        return AgentSecretError(Case::noSecretService,
                                QStringLiteral("no usable credential store: %1").arg(job.errorString()));
    default: return AgentSecretError(Case::failed, QStringLiteral("the Secret Service failed: ") + job.errorString());
    }
}

} // namespace

AgentSecret::AgentSecret(milliseconds timeout) : timeout_(timeout) {}

QCoro::Task<std::optional<QString>> AgentSecret::read()
{
    try {
        auto secret = co_await lookup();
        if (secret) {
            qCDebug(lcAgentSecret, "Agent secret found");
        } else {
            qCDebug(lcAgentSecret, "No agent secret stored");
        }
        co_return secret;
    } catch (const AgentSecretError& error) {
        qCCritical(lcAgentSecret, "Cannot read the agent secret: %s", qUtf8Printable(error.description()));
        co_return std::nullopt;
    }
}

QCoro::Task<std::optional<QString>> AgentSecret::lookup()
{
    // The object may be gone when the coroutine resumes: nothing of it is used after a wait.
    const milliseconds timeout = timeout_;
    const QDeadlineTimer deadline(timeout);
    co_await requireSecretService(deadline, timeout);
    JobPointer<QKeychain::ReadPasswordJob> job(new QKeychain::ReadPasswordJob(QString::fromLatin1(service)));
    co_await runJob(job, deadline, timeout);
    if (job->error() == QKeychain::EntryNotFound) {
        co_return std::nullopt;
    }
    if (job->error() != QKeychain::NoError) {
        throw keychainError(*job);
    }
    // Strict decoding: invalid UTF-8 reads as no secret rather than as a damaged one, and a
    // leading byte-order mark is part of the secret.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString secret = decoder.decode(job->binaryData());
    if (decoder.hasError()) {
        throw AgentSecretError(Case::invalidText, QStringLiteral("the stored secret is not valid UTF-8"));
    }
    co_return secret;
}

QCoro::Task<void> AgentSecret::write(QString secret)
{
    try {
        // The store keeps the text as a C string of UTF-8: refuse what would come back changed.
        QStringEncoder encoder(QStringEncoder::Utf8);
        const QByteArray bytes = encoder.encode(secret);
        if (encoder.hasError() || bytes.contains('\0')) {
            throw AgentSecretError(Case::invalidText,
                                   QStringLiteral("the secret is not text that can be stored as UTF-8 unchanged"));
        }
        const milliseconds timeout = timeout_; // the object may be gone when the coroutine resumes
        const QDeadlineTimer deadline(timeout);
        co_await requireSecretService(deadline, timeout);
        JobPointer<QKeychain::WritePasswordJob> job(new QKeychain::WritePasswordJob(QString::fromLatin1(service)));
        job->setTextData(secret);
        co_await runJob(job, deadline, timeout);
        if (job->error() != QKeychain::NoError) {
            throw keychainError(*job);
        }
        qCDebug(lcAgentSecret, "Agent secret stored");
    } catch (const AgentSecretError& error) {
        qCCritical(lcAgentSecret, "Cannot store the agent secret: %s", qUtf8Printable(error.description()));
        throw;
    }
}

QCoro::Task<void> AgentSecret::checkStorable()
{
    try {
        const milliseconds timeout = timeout_; // the object may be gone when the coroutine resumes
        const QDeadlineTimer deadline(timeout);
        co_await requireSecretService(deadline, timeout);
        const QString serviceName = QString::fromLatin1(service);
        const QString probe = QUuid::createUuid().toString(QUuid::WithoutBraces);
        JobPointer<QKeychain::WritePasswordJob> write(new QKeychain::WritePasswordJob(serviceName));
        write->setTextData(probe);
        co_await runJob(write, deadline, timeout, probeKey);
        if (write->error() != QKeychain::NoError) {
            throw keychainError(*write);
        }
        JobPointer<QKeychain::ReadPasswordJob> read(new QKeychain::ReadPasswordJob(serviceName));
        co_await runJob(read, deadline, timeout, probeKey);
        if (read->error() != QKeychain::NoError) {
            throw keychainError(*read);
        }
        if (read->textData() != probe) {
            throw AgentSecretError(Case::failed, QStringLiteral("the Secret Service gave back another item than it "
                                                                "was given"));
        }
        JobPointer<QKeychain::DeletePasswordJob> erase(new QKeychain::DeletePasswordJob(serviceName));
        co_await runJob(erase, deadline, timeout, probeKey); // a probe left behind harms nothing
    } catch (const AgentSecretError& error) {
        qCCritical(lcAgentSecret, "The Secret Service cannot store the agent secret: %s",
                   qUtf8Printable(error.description()));
        throw;
    }
}

QCoro::Task<void> AgentSecret::remove()
{
    // The object may be gone when the coroutine resumes: nothing of it is used after a wait.
    const milliseconds timeout = timeout_;
    const QDeadlineTimer deadline(timeout);
    co_await requireSecretService(deadline, timeout);
    JobPointer<QKeychain::DeletePasswordJob> job(new QKeychain::DeletePasswordJob(QString::fromLatin1(service)));
    co_await runJob(job, deadline, timeout);
    if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound) {
        throw keychainError(*job);
    }
}

} // namespace nerova
