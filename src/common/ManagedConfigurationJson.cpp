#include "common/ManagedConfigurationJson.h"

namespace nerova {

Json decodeManagedPolicy(const QByteArray& bytes)
{
    Json policy = parseJson(bytes);
    if (!policy.is_object()) {
        throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, {},
                              QStringLiteral("not a JSON object but ") + describeJsonValue(policy));
    }
    return policy;
}

} // namespace nerova
