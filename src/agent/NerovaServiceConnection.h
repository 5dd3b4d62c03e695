#pragma once

#include "agent/ServiceConnection.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "service/FingerprintFileClient.h"

class QNetworkAccessManager;

namespace nerova {

// The service reached through the process's shared access manager with the agent's clients: one
// client per call, built with the base address and the secret of that moment.
class NerovaServiceConnection final : public ServiceConnection {
public:
    // Everything given must outlive the connection. `timeout` bounds each call (tests shorten it).
    NerovaServiceConnection(QNetworkAccessManager& session, Settings& settings, const Clock& clock,
                            FingerprintFileClient& fingerprintFiles,
                            std::chrono::milliseconds timeout = NerovaClient::defaultTimeout);

    QCoro::Task<AgentCredentials> registerAgent(QUrl baseURL, QString agentId, QString registrationKey,
                                                DeviceInformation deviceInformation) override;
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(ServiceCredentials credentials,
                                                                 AgentCheckinRequest request) override;
    QCoro::Task<void> postPresence(ServiceCredentials credentials, AgentPresenceRequest request) override;
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString url) override;

private:
    QNetworkAccessManager& session_;
    Settings& settings_;
    const Clock& clock_;
    FingerprintFileClient& fingerprintFiles_;
    std::chrono::milliseconds timeout_;
};

} // namespace nerova
