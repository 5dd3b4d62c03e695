#pragma once

#include "common/Json.h"

#include <QString>

namespace nerova {

// The platform family reported to the service. This agent reports `mac`, the family the service
// knows for desktops that are not Windows.
enum class AgentDeviceType { mac, windows };

QString agentDeviceTypeText(AgentDeviceType type);
// Decodes "mac" or "windows"; any other value raises JsonDecodeError naming `path`.
AgentDeviceType agentDeviceTypeFromJson(const Json& value, const QString& path);

// The machine as described in the enrolment request.
struct DeviceInformation {
    QString localUsername;
    AgentDeviceType deviceType = AgentDeviceType::mac;
    QString serialNumber;
    QString name;

    // {"localUsername", "deviceType", "serialNumber", "name"}, in that order.
    Json toJson() const;
    // All four keys are required; raises JsonDecodeError with the key path under `path`.
    static DeviceInformation fromJson(const Json& json, QString path = {});

    bool operator==(const DeviceInformation&) const = default;
};

} // namespace nerova
