#include "service/DeviceInformation.h"

namespace nerova {

QString agentDeviceTypeText(AgentDeviceType type)
{
    switch (type) {
    case AgentDeviceType::mac: return QStringLiteral("mac");
    case AgentDeviceType::windows: return QStringLiteral("windows");
    }
    return QStringLiteral("mac");
}

AgentDeviceType agentDeviceTypeFromJson(const Json& value, const QString& path)
{
    const QString text = jsonString(value, path);
    if (text == u"mac") {
        return AgentDeviceType::mac;
    }
    if (text == u"windows") {
        return AgentDeviceType::windows;
    }
    throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, path,
                          QStringLiteral("expected \"mac\" or \"windows\", found ") + describeJsonValue(value));
}

Json DeviceInformation::toJson() const
{
    return Json{
        {"localUsername", toStdString(localUsername)},
        {"deviceType", toStdString(agentDeviceTypeText(deviceType))},
        {"serialNumber", toStdString(serialNumber)},
        {"name", toStdString(name)},
    };
}

DeviceInformation DeviceInformation::fromJson(const Json& json, QString path)
{
    const JsonObjectReader reader(json, std::move(path));
    DeviceInformation information;
    information.localUsername = reader.string("localUsername");
    information.deviceType = agentDeviceTypeFromJson(reader.required("deviceType"), reader.pathOf("deviceType"));
    information.serialNumber = reader.string("serialNumber");
    information.name = reader.string("name");
    return information;
}

} // namespace nerova
