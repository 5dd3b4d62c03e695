// The platform "none": every seam of the system answers that it has nothing.
#include "agent/LockEventSources.h"
#include "agent/MachineState.h"
#include "common/DescriptorLimit.h"
#include "common/LogHandler.h"
#include "common/StopSignals.h"
#include "network/IcmpSocketApi.h"
#include "network/NetworkChangeSource.h"
#include "network/NetworkReader.h"
#include "network/TcpSocket.h"
#include "service/AgentSecret.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstdio>
#include <limits>

namespace nerova {

namespace {

Q_LOGGING_CATEGORY(lcPlatform, "nerova.Platform", QtInfoMsg)

// Says once per process that `what` is not available on this platform.
void sayOnce(bool& said, const char* what)
{
    if (!said) {
        said = true;
        qCWarning(lcPlatform, "This build has no platform: %s", what);
    }
}

class NoIcmpSockets final : public IcmpSocketApi {
public:
    int open(QAbstractSocket::NetworkLayerProtocol, IcmpSocketKind) override { return -ENOSYS; }
    int connect(int, const QHostAddress&) override { return -ENOSYS; }
    std::optional<quint16> localIdentifier(int) override { return std::nullopt; }
    qint64 send(int, QByteArrayView) override { return -ENOSYS; }
    qint64 receive(int, QByteArray&) override { return -ENOSYS; }
    void close(int) override {}
    QString refusalReason() override { return QStringLiteral("this build has no platform and no ICMP sockets"); }
};

class NoNetwork final : public NetworkReader {
public:
    std::optional<std::vector<NetworkInterface>> readInterfaces() const override { return std::nullopt; }
    std::vector<NetworkAddress> readAllAddresses() const override { return {}; }
};

class NoLockEvents final : public LockEventSources {
public:
    std::vector<std::unique_ptr<EventRegistration>> addLockObservers(Handler, Handler) override
    {
        static bool said = false;
        sayOnce(said, "no lock events");
        return {};
    }
    std::unique_ptr<EventRegistration> addGlobalClickMonitor(Handler, QString& whyNot) override
    {
        whyNot = QStringLiteral("this build has no platform");
        return nullptr;
    }
};

class NoMachineFacts final : public MachineFacts {
public:
    std::optional<QString> serialNumber() const override { return std::nullopt; }
    std::optional<QByteArray> model() const override { return std::nullopt; }
    std::optional<int> chassisType() const override { return std::nullopt; }
    std::optional<QString> computerName() const override { return std::nullopt; }
};

AgentSecretError noSecretStore()
{
    static bool said = false;
    sayOnce(said, "no secret store");
    return AgentSecretError(AgentSecretError::Case::noSecretService,
                            QStringLiteral("this build has no platform and no secret store"));
}

void writeToStandardError(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray line = consoleLine(type, context, message);
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
}

} // namespace

std::int64_t raiseDescriptorLimit() { return std::numeric_limits<std::int64_t>::max(); }

std::int64_t descriptorsLeft() { return std::numeric_limits<std::int64_t>::max(); }

void installLogHandler() { qInstallMessageHandler(&writeToStandardError); }

QList<QByteArray> journalFields(QtMsgType, const QMessageLogContext&, const QString&) { return {}; }

StopSignals::StopSignals(std::function<void()> stop) : stop_(std::move(stop))
{
    static bool said = false;
    sayOnce(said, "SIGINT and SIGTERM end the process without stopping the agent first");
}

StopSignals::~StopSignals() = default;

std::shared_ptr<IcmpSocketApi> systemIcmpSocketApi() { return std::make_shared<NoIcmpSockets>(); }

std::unique_ptr<NetworkReader> makeSystemNetworkReader()
{
    static bool said = false;
    sayOnce(said, "no network interfaces are read");
    return std::make_unique<NoNetwork>();
}

std::vector<std::unique_ptr<NetworkChangeSource>> makeSystemNetworkChangeSources(NetworkChangeSource::Trigger)
{
    static bool said = false;
    sayOnce(said, "no network changes");
    return {};
}

std::unique_ptr<LockEventSources> makeSystemLockEventSources() { return std::make_unique<NoLockEvents>(); }

std::shared_ptr<const MachineFacts> makeMachineFacts()
{
    static bool said = false;
    sayOnce(said, "no machine facts");
    return std::make_shared<NoMachineFacts>();
}

namespace tcp {

int open(QAbstractSocket::NetworkLayerProtocol) { return -ENOSYS; }
int startConnect(int, const QHostAddress&, quint16) { return -ENOSYS; }
int connectResult(int) { return ENOSYS; }
qint64 receive(int, QByteArray&) { return -ENOSYS; }
void close(int) {}

} // namespace tcp

AgentSecret::AgentSecret(std::chrono::milliseconds timeout) : timeout_(timeout) {}

QCoro::Task<std::optional<QString>> AgentSecret::read()
{
    qCCritical(lcPlatform, "Cannot read the agent secret: %s", qUtf8Printable(noSecretStore().description()));
    co_return std::nullopt;
}

QCoro::Task<void> AgentSecret::write(QString)
{
    throw noSecretStore();
    co_return;
}

QCoro::Task<void> AgentSecret::remove()
{
    throw noSecretStore();
    co_return;
}

QCoro::Task<std::optional<QString>> AgentSecret::lookup()
{
    throw noSecretStore();
    co_return std::nullopt;
}

QCoro::Task<void> AgentSecret::checkStorable()
{
    throw noSecretStore();
    co_return;
}

} // namespace nerova
