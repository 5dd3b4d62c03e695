#include "service/NerovaPresenceClient.h"

#include "rules/FingerprintFileJson.h"

namespace nerova {

Json AgentPresenceRequest::toJson() const
{
    Json json = Json::object();
    json["timestamp"] = toStdString(formatStoredTimestamp(timestamp));
    json["fingerprintId"] = toStdString(fingerprintId);
    json["fingerprintVersion"] = fingerprintVersion;
    json["locationPoint"] = encodeLocationPoint(locationPoint);
    return json;
}

QCoro::Task<std::optional<AgentPresenceResponse>>
NerovaPresenceClient::postPresence(QString agentId, AgentPresenceRequest request, QString projectId, QString instanceId)
{
    return client.postSigned<AgentPresenceResponse>(u'/' + agentId + QStringLiteral("/presence"), std::move(request),
                                                    std::move(projectId), std::move(instanceId));
}

} // namespace nerova
