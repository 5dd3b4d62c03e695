#pragma once

#include "common/Json.h"

#include <QString>

#include <optional>

namespace nerova {

// The service's answer to a check-in.
struct AgentCheckinResponse {
    std::optional<QString> fingerprintFileUrl;
    std::optional<qint64> urlExpiresAt; // whole seconds since 2001-01-01T00:00:00Z
    bool enableDebug = false;           // required in the answer; not acted on

    static AgentCheckinResponse fromJson(const Json& json, const QString& path);
};

} // namespace nerova
