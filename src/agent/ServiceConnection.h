#pragma once

#include "rules/FingerprintFile.h"
#include "service/AgentRegistration.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaPresenceClient.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>

namespace nerova {

// What a signed call to the service needs: where the service is, who this agent is there, and the
// secret the request is signed with.
struct ServiceCredentials {
    QUrl endpoint;
    QString secret;
    QString agentId;
    QString projectId;
    QString instanceId;
};

// The agent's calls to the presence service: enrolment, check-in, presence report and the
// download of the fingerprint file. Each call raises the error of the client that made it.
class ServiceConnection {
public:
    virtual ~ServiceConnection() = default;

    // The whole enrolment; sets "isRegistered" when it completes.
    virtual QCoro::Task<AgentCredentials> registerAgent(QUrl baseURL, QString agentId, QString registrationKey,
                                                        DeviceInformation deviceInformation) = 0;
    // Absent when the service answers with an empty body.
    virtual QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(ServiceCredentials credentials,
                                                                         AgentCheckinRequest request) = 0;
    virtual QCoro::Task<void> postPresence(ServiceCredentials credentials, AgentPresenceRequest request) = 0;
    // The current file (downloaded, or the local copy when the server has nothing new), or nothing.
    virtual QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString url) = 0;
};

} // namespace nerova
