#pragma once

#include "rules/FingerprintFile.h"
#include "service/NerovaAuthenticatedClient.h"

#include <QDateTime>

namespace nerova {

struct AgentPresenceRequest {
    QDateTime timestamp; // sent in whole seconds, UTC, "Z"
    QString fingerprintId;
    qint64 fingerprintVersion = 0;
    LocationPoint locationPoint;

    Json toJson() const;
};

// Nothing of the answer is used; any JSON object or an empty body is accepted.
using AgentPresenceResponse = EmptyRecord;

// The signed presence report: POST /{agentId}/presence.
class NerovaPresenceClient : public SignedEndpointClient {
public:
    using SignedEndpointClient::SignedEndpointClient;

    // The client must outlive the task.
    QCoro::Task<std::optional<AgentPresenceResponse>> postPresence(QString agentId, AgentPresenceRequest request,
                                                                   QString projectId, QString instanceId);
};

} // namespace nerova
