#include "agent/AgentBusAdaptor.h"

#include "agent/Agent.h"
#include "agent/AgentStatus.h"
#include "agent/ReportingPolicy.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include <algorithm>

namespace nerova {

namespace {

QString dateText(const QDateTime& date) { return date.isValid() ? date.toUTC().toString(Qt::ISODate) : QString(); }

} // namespace

AgentBusAdaptor::AgentBusAdaptor(Agent& agent, QDBusConnection connection, std::chrono::milliseconds callInterval)
    : QDBusAbstractAdaptor(&agent),
      agent_(agent),
      connection_(std::move(connection)),
      announced_(properties()),
      callInterval_(callInterval)
{
    mergedCheckin_.setSingleShot(true);
    connect(&mergedCheckin_, &QTimer::timeout, this, [this] {
        lastCheckin_.start();
        agent_.checkin();
    });
    for (const auto signal : {&Agent::isRegisteredChanged, &Agent::fingerprintChanged, &Agent::lastCheckinChanged,
                              &Agent::lastPresenceCheckChanged, &Agent::lastPresenceSendChanged, &Agent::messageChanged,
                              &Agent::fingerprintFileChanged}) {
        connect(&agent, signal, this, &AgentBusAdaptor::announceChanges);
    }
    connect(&agent.reportingPolicy(), &ReportingPolicy::changed, this, &AgentBusAdaptor::announceChanges);
}

bool AgentBusAdaptor::registered() const { return agent_.isRegistered(); }

QString AgentBusAdaptor::locationName() const { return agent_.fingerprint() ? agent_.fingerprint()->name : QString(); }

QString AgentBusAdaptor::locationId() const
{
    return agent_.fingerprint() ? agent_.fingerprint()->fingerprintId : QString();
}

QString AgentBusAdaptor::lastCheckin() const { return dateText(agent_.lastCheckin()); }

QString AgentBusAdaptor::lastPresenceCheck() const { return dateText(agent_.lastPresenceCheck()); }

QString AgentBusAdaptor::lastPresenceSend() const { return dateText(agent_.lastPresenceSend()); }

QString AgentBusAdaptor::message() const
{
    const QString notice = agent_.reportingPolicy().notice();
    if (notice.isEmpty() || agent_.message().isEmpty()) {
        return notice + agent_.message();
    }
    return notice + QStringLiteral("; ") + agent_.message();
}

QString AgentBusAdaptor::pausedUntil() const { return dateText(agent_.reportingPolicy().pausedUntil()); }

qlonglong AgentBusAdaptor::fingerprintFileVersion() const
{
    return agent_.fingerprintFile() ? agent_.fingerprintFile()->fingerprintVersion : 0;
}

bool AgentBusAdaptor::mayStart(QElapsedTimer& lastStart) const
{
    if (lastStart.isValid() && !lastStart.hasExpired(callInterval_.count())) {
        return false;
    }
    lastStart.start();
    return true;
}

void AgentBusAdaptor::Refresh()
{
    if (mayStart(lastRefresh_)) {
        agent_.refresh();
    }
}

void AgentBusAdaptor::CheckIn()
{
    if (mayStart(lastCheckin_)) {
        agent_.checkin();
    } else if (!mergedCheckin_.isActive()) {
        mergedCheckin_.start(std::max<qint64>(0, callInterval_.count() - lastCheckin_.elapsed()));
    }
}

QString AgentBusAdaptor::Status() { return QString::fromStdString(agentStatus(agent_).dump(2)); }

QString AgentBusAdaptor::Pause(int minutes, const QDBusMessage& call)
{
    return answerPause(agent_.reportingPolicy().pauseFor(std::chrono::minutes(minutes)), call);
}

QString AgentBusAdaptor::PauseUntilTomorrow(const QDBusMessage& call)
{
    return answerPause(agent_.reportingPolicy().pauseUntilTomorrow(), call);
}

void AgentBusAdaptor::Resume() { agent_.reportingPolicy().resume(); }

QString AgentBusAdaptor::answerPause(const std::optional<QString>& refusal, const QDBusMessage& call)
{
    if (refusal && call.type() == QDBusMessage::MethodCallMessage) {
        // The error is the answer; the return value is then not sent.
        call.setDelayedReply(true);
        connection_.send(call.createErrorReply(QString::fromLatin1(pauseRefusedError), *refusal));
    }
    return refusal ? QString() : pausedUntil();
}

QVariantMap AgentBusAdaptor::properties() const
{
    return {{QStringLiteral("Registered"), registered()},
            {QStringLiteral("LocationName"), locationName()},
            {QStringLiteral("LocationId"), locationId()},
            {QStringLiteral("LastCheckin"), lastCheckin()},
            {QStringLiteral("LastPresenceCheck"), lastPresenceCheck()},
            {QStringLiteral("LastPresenceSend"), lastPresenceSend()},
            {QStringLiteral("Message"), message()},
            {QStringLiteral("FingerprintFileVersion"), fingerprintFileVersion()},
            {QStringLiteral("PausedUntil"), pausedUntil()}};
}

void AgentBusAdaptor::announceChanges()
{
    const QVariantMap current = properties();
    QVariantMap changed;
    for (auto it = current.begin(); it != current.end(); ++it) {
        if (announced_.value(it.key()) != it.value()) {
            changed.insert(it.key(), it.value());
        }
    }
    if (changed.isEmpty()) {
        return;
    }
    announced_ = current;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(agentbus::objectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(agentbus::interfaceName) << changed << QStringList();
    connection_.send(signal);
}

std::optional<QString> publishAgent(Agent& agent, QDBusConnection connection, BusNameRole role)
{
    if (!connection.isConnected()) {
        return QStringLiteral("no session bus: %1").arg(connection.lastError().message());
    }
    const bool takesOver = role == BusNameRole::takesOver;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = connection.interface()->registerService(
        QString::fromLatin1(agentbus::serviceName),
        takesOver ? QDBusConnectionInterface::ReplaceExistingService : QDBusConnectionInterface::DontQueueService,
        takesOver ? QDBusConnectionInterface::DontAllowReplacement : QDBusConnectionInterface::AllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        return QStringLiteral("another agent is already running in this session");
    }
    new AgentBusAdaptor(agent, connection);
    if (!connection.registerObject(QString::fromLatin1(agentbus::objectPath), &agent,
                                   QDBusConnection::ExportAdaptors)) {
        connection.unregisterService(QString::fromLatin1(agentbus::serviceName));
        return QStringLiteral("cannot export the agent on the session bus");
    }
    return std::nullopt;
}

} // namespace nerova
