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

QCoro::Task<std::optional<AgentCheckinResponse>>
NerovaServiceConnection::postCheckin(QUrl baseURL, QString secret, QString agentId, AgentCheckinRequest request,
                                     QString projectId, QString instanceId)
{
    NerovaCheckinClient client(session_, std::move(baseURL), std::move(secret), clock_, timeout_);
    QCoro::Task<std::optional<AgentCheckinResponse>> posting =
        client.postCheckin(std::move(agentId), std::move(request), std::move(projectId), std::move(instanceId));
    co_return co_await posting;
}

QCoro::Task<void> NerovaServiceConnection::postPresence(QUrl baseURL, QString secret, QString agentId,
                                                        AgentPresenceRequest request, QString projectId,
                                                        QString instanceId)
{
    NerovaPresenceClient client(session_, std::move(baseURL), std::move(secret), clock_, timeout_);
    QCoro::Task<std::optional<AgentPresenceResponse>> posting =
        client.postPresence(std::move(agentId), std::move(request), std::move(projectId), std::move(instanceId));
    co_await posting;
}

QCoro::Task<std::optional<FingerprintFile>> NerovaServiceConnection::fetchFingerprintFile(QString url)
{
    return fingerprintFiles_.fetchFingerprintFile(std::move(url));
}

} // namespace nerova
