#include "service/PublicIPAnswer.h"

namespace nerova {

PublicIPAnswer PublicIPAnswer::fromJson(const Json& json, const QString& path)
{
    return {JsonObjectReader(json, path).string("ip")};
}

} // namespace nerova
