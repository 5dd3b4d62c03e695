#pragma once

#include "agent/ServiceConnection.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "service/FingerprintFileClient.h"

#include <memory>

class QNetworkAccessManager;

namespace nerova {

class ActivityRecord;

// The service reached through the process's shared access manager with the agent's clients: one
// client per call, built with the base address and the secret of that moment. Every request it
// sends is entered in the activity record, when one is given: its kind, its outcome and what it
// carried, never a secret, a signature or the registration key.
class NerovaServiceConnection final : public ServiceConnection {
public:
    // Everything given by reference must outlive the connection. `timeout` bounds each call (tests
    // shorten it).
    NerovaServiceConnection(QNetworkAccessManager& session, Settings& settings, const Clock& clock,
                            FingerprintFileClient& fingerprintFiles,
                            std::chrono::milliseconds timeout = NerovaClient::defaultTimeout,
                            std::shared_ptr<ActivityRecord> activity = nullptr);

    QCoro::Task<AgentCredentials> registerAgent(QUrl baseURL, QString agentId, QString registrationKey,
                                                DeviceInformation deviceInformation) override;
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(ServiceCredentials credentials,
                                                                 AgentCheckinRequest request) override;
    QCoro::Task<void> postPresence(ServiceCredentials credentials, AgentPresenceRequest request) override;
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString url) override;

    // What the connection writes in the record; shared with the calls in flight, which may end
    // after the connection.
    struct Accounts;

private:
    QNetworkAccessManager& session_;
    Settings& settings_;
    const Clock& clock_;
    FingerprintFileClient& fingerprintFiles_;
    std::chrono::milliseconds timeout_;
    std::shared_ptr<Accounts> accounts_;
};

} // namespace nerova
