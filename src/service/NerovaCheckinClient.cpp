#include "service/NerovaCheckinClient.h"

namespace nerova {

Json AgentCheckinRequest::toJson() const
{
    Json json = Json::object();
    json["fingerprintVersion"] = fingerprintVersion;
    json["agentVersion"] = toStdString(agentVersion);
    json["requestNewUrl"] = requestNewUrl;
    return json;
}

QCoro::Task<std::optional<AgentCheckinResponse>>
NerovaCheckinClient::postCheckin(QString agentId, AgentCheckinRequest request, QString projectId, QString instanceId)
{
    return client.postSigned<AgentCheckinResponse>(u'/' + agentId + QStringLiteral("/check-in"), std::move(request),
                                                   std::move(projectId), std::move(instanceId));
}

} // namespace nerova
