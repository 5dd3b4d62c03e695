#include "service/AgentInformation.h"

#include "rules/FingerprintFileJson.h"

namespace nerova {

Json AgentInformation::toJson() const
{
    Json json = Json::object();
    if (lastCheckin && lastCheckin->isValid()) {
        json["lastCheckin"] = toStdString(formatStoredTimestamp(*lastCheckin));
    }
    json["fingerprintVersion"] = fingerprintVersion;
    json["agentVersion"] = toStdString(agentVersion);
    return json;
}

AgentInformation AgentInformation::fromJson(const Json& json, QString path)
{
    const JsonObjectReader reader(json, std::move(path));
    AgentInformation information;
    if (const auto text = reader.optionalString("lastCheckin")) {
        const QDateTime time = parseFingerprintTimestamp(*text, TimestampForm::stored);
        if (!time.isValid()) {
            throw JsonDecodeError(
                JsonDecodeError::Case::dataCorrupted, reader.pathOf("lastCheckin"),
                QStringLiteral("\"%1\" is not a UTC date-time in whole seconds (YYYY-MM-DDThh:mm:ssZ)").arg(*text));
        }
        information.lastCheckin = time;
    }
    information.fingerprintVersion = reader.int64("fingerprintVersion");
    information.agentVersion = reader.string("agentVersion");
    return information;
}

} // namespace nerova
