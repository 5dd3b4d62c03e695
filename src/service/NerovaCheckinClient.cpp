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

AgentCheckinResponse AgentCheckinResponse::fromJson(const Json& json, const QString& path)
{
    const JsonObjectReader reader(json, path);
    AgentCheckinResponse response;
    response.fingerprintFileUrl = reader.optionalString("fingerprintFileUrl");
    if (reader.contains("urlExpiresAt") && !json.at("urlExpiresAt").is_null()) {
        response.urlExpiresAt = reader.int64("urlExpiresAt");
    }
    response.enableDebug = reader.boolean("enableDebug");
    return response;
}

QCoro::Task<std::optional<AgentCheckinResponse>>
NerovaCheckinClient::postCheckin(QString agentId, AgentCheckinRequest request, QString projectId, QString instanceId)
{
    return client.postSigned<AgentCheckinResponse>(u'/' + agentId + QStringLiteral("/check-in"), std::move(request),
                                                   std::move(projectId), std::move(instanceId));
}

} // namespace nerova
