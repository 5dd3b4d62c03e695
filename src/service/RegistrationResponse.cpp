#include "service/RegistrationResponse.h"

namespace nerova {

RegistrationResponse RegistrationResponse::fromJson(const Json& json, const QString& path)
{
    return {JsonObjectReader(json, path).string("payload")};
}

std::optional<QByteArray> RegistrationResponse::ciphertext() const
{
    const QByteArray text = payload.toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || text.size() % 4 != 0) {
        return std::nullopt;
    }
    return decoded.decoded;
}

RegistrationResponsePayload RegistrationResponsePayload::fromJson(const Json& json, const QString& path)
{
    const JsonObjectReader reader(json, path);
    return {reader.string("secret"), reader.string("projectId"), reader.string("instanceId"), reader.string("nonce")};
}

} // namespace nerova
