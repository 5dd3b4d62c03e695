#include "agent/NerovaServiceConnection.h"

namespace nerova {

NerovaServiceConnection::NerovaServiceConnection(QNetworkAccessManager& session, Settings& settings, const Clock& clock,
                                                 FingerprintFileClient& fingerprintFiles,
                                                 std::chrono::milliseconds timeout)
    : session_(session), settings_(settings), clock_(clock), fingerprintFiles_(fingerprintFiles), timeout_(timeout)
{}

QCoro::Task<AgentCredentials> NerovaServiceConnection::registerAgent(QUrl baseURL, QString agentId,
                                                                     QString registrationKey,
                                                                     DeviceInformation deviceInformation)
{
    AgentRegistration registration(session_, std::move(baseURL), settings_, clock_, timeout_);
    QCoro::Task<AgentCredentials> registering =
        registration.registerAgent(std::move(agentId), std::move(registrationKey), std::move(deviceInformation));
    co_return co_await registering;
}

QCoro::Task<std::optional<AgentCheckinResponse>> NerovaServiceConnection::postCheckin(ServiceCredentials credentials,
                                                                                      AgentCheckinRequest request)
{
    NerovaCheckinClient client(session_, std::move(credentials.endpoint), std::move(credentials.secret), clock_,
                               timeout_);
    QCoro::Task<std::optional<AgentCheckinResponse>> posting =
        client.postCheckin(std::move(credentials.agentId), std::move(request), std::move(credentials.projectId),
                           std::move(credentials.instanceId));
    co_return co_await posting;
}

QCoro::Task<void> NerovaServiceConnection::postPresence(ServiceCredentials credentials, AgentPresenceRequest request)
{
    NerovaPresenceClient client(session_, std::move(credentials.endpoint), std::move(credentials.secret), clock_,
                                timeout_);
    QCoro::Task<std::optional<AgentPresenceResponse>> posting =
        client.postPresence(std::move(credentials.agentId), std::move(request), std::move(credentials.projectId),
                            std::move(credentials.instanceId));
    co_await posting;
}

QCoro::Task<std::optional<FingerprintFile>> NerovaServiceConnection::fetchFingerprintFile(QString url)
{
    return fingerprintFiles_.fetchFingerprintFile(std::move(url));
}

} // namespace nerova
