#pragma once

#include "service/AgentCheckinResponse.h"
#include "service/NerovaAuthenticatedClient.h"

namespace nerova {

struct AgentCheckinRequest {
    qint64 fingerprintVersion = 0; // of the installed file; 0 when none is installed
    QString agentVersion;
    bool requestNewUrl = false;

    Json toJson() const;
};

// The signed check-in: POST /{agentId}/check-in.
class NerovaCheckinClient : public SignedEndpointClient {
public:
    using SignedEndpointClient::SignedEndpointClient;

    // Absent when the service answers with an empty body. The client must outlive the task.
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(QString agentId, AgentCheckinRequest request,
                                                                 QString projectId, QString instanceId);
};

} // namespace nerova
