#include "service/AgentCheckinResponse.h"

namespace nerova {

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

} // namespace nerova
