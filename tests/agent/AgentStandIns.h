#pragma once

#include "agent/LockState.h"
#include "agent/SecretStore.h"
#include "agent/ServiceConnection.h"
#include "network/NetworkContextSource.h"
#include "service/AgentSecretError.h"
#include "service/NerovaClientError.h"

#include <QCoroSignal>
#include <QObject>
#include <QStringList>

// Stand-ins for the agent's monitors, secret store and service, for the scenario tests.
namespace nerova::test {

// The monitor: contexts go straight into the stream; a refresh yields `current` at once.
class StandInNetwork final : public NetworkContextSource {
public:
    explicit StandInNetwork(QStringList& events) : events_(events) {}
    Channel<NetworkContext>& networkContextSequence() override { return contexts; }
    void sendInterfaceChange() override
    {
        events_ << QStringLiteral("refresh");
        ++refreshes;
        if (current) {
            contexts.send(*current);
        }
    }

    Channel<NetworkContext> contexts;
    std::optional<NetworkContext> current;
    int refreshes = 0;

private:
    QStringList& events_;
};

class StandInLock final : public LockState {
public:
    bool isScreenLocked() const override { return locked; }
    QDateTime lastMouseClick() const override { return click; }
    void detach() override { detached = true; }

    bool locked = false;
    QDateTime click = distantPast();
    bool detached = false;
};

class StandInSecrets final : public SecretStore {
public:
    QCoro::Task<std::optional<QString>> loadSecret() override
    {
        if (failLoad) {
            throw AgentSecretError(AgentSecretError::Case::noSecretService, QStringLiteral("no keyring"));
        }
        // A copy: QCoro 0.8 moves from an lvalue given to co_return, member or not.
        std::optional<QString> copy = secret;
        co_return copy;
    }
    QCoro::Task<void> storeSecret(QString value) override
    {
        if (failStore) {
            throw AgentSecretError(AgentSecretError::Case::timedOut, QStringLiteral("keyring locked"));
        }
        secret = value;
        co_return;
    }
    QCoro::Task<void> checkStorable() override
    {
        if (failStore) {
            throw AgentSecretError(AgentSecretError::Case::timedOut, QStringLiteral("keyring locked"));
        }
        co_return;
    }

    std::optional<QString> secret;
    bool failLoad = false;
    bool failStore = false;
};

// The service, scripted: for the agent's scheduling, where the protocol does not matter.
class ScriptedService final : public QObject, public ServiceConnection {
    Q_OBJECT
public:
    explicit ScriptedService(QStringList& events) : events_(events) {}

    QCoro::Task<AgentCredentials> registerAgent(QUrl, QString, QString, DeviceInformation) override
    {
        throw NerovaClientError::server(ServerError{403, QStringLiteral("scripted"), std::nullopt});
    }
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(ServiceCredentials,
                                                                 AgentCheckinRequest request) override
    {
        events_ << QStringLiteral("check-in");
        checkinRequests << request;
        if (hold) {
            co_await qCoro(this, &ScriptedService::released);
        }
        co_return std::optional<AgentCheckinResponse>();
    }
    QCoro::Task<void> postPresence(ServiceCredentials, AgentPresenceRequest) override
    {
        events_ << QStringLiteral("presence");
        co_return;
    }
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString) override
    {
        events_ << QStringLiteral("download");
        if (hold) {
            co_await qCoro(this, &ScriptedService::released);
        }
        co_return std::optional<FingerprintFile>();
    }

    bool hold = false;
    QList<AgentCheckinRequest> checkinRequests;

signals:
    void released();

private:
    QStringList& events_;
};

} // namespace nerova::test
