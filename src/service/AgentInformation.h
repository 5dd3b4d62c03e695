#pragma once

#include "common/Json.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace nerova {

// The agent as described in the enrolment request.
struct AgentInformation {
    std::optional<QDateTime> lastCheckin;
    qint64 fingerprintVersion = 0;
    QString agentVersion;

    // {"lastCheckin", "fingerprintVersion", "agentVersion"} in that order; "lastCheckin" (UTC,
    // whole seconds, for example "2024-01-31T08:15:00Z") is left out when absent.
    Json toJson() const;
    // "lastCheckin" may be missing or null; the other two keys are required.
    static AgentInformation fromJson(const Json& json, QString path = {});

    bool operator==(const AgentInformation&) const = default;
};

} // namespace nerova
