#include "network/NetworkContextJson.h"

namespace nerova {

namespace {

Json optionalText(const std::optional<QString>& text) { return text ? Json(toStdString(*text)) : Json(nullptr); }

NetworkAddress decodeAddress(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    const QString typeText = reader.string("type");
    const std::optional<AddressType> type = addressTypeFromRawValue(typeText);
    if (!type) {
        throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, reader.pathOf("type"),
                              QStringLiteral("\"%1\" is not an address type").arg(typeText));
    }
    return {*type, reader.string("name"), reader.string("address")};
}

NetworkInterface decodeInterface(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    return {reader.string("name"), reader.string("hardwareAddress")};
}

} // namespace

Json encodeNetworkContext(const NetworkContext& context)
{
    Json addresses = Json::array();
    for (const NetworkAddress& address : context.internalAddresses) {
        addresses.push_back({{"type", toStdString(rawValue(address.type))},
                             {"name", toStdString(address.name)},
                             {"address", toStdString(address.address)}});
    }
    Json interfaces = Json::array();
    for (const NetworkInterface& networkInterface : context.networkInterfaces) {
        interfaces.push_back({{"name", toStdString(networkInterface.name)},
                              {"hardwareAddress", toStdString(networkInterface.hardwareAddress)}});
    }
    return {{"externalIPv4", optionalText(context.externalIPv4)},
            {"internalAddresses", std::move(addresses)},
            {"externalIPv6", optionalText(context.externalIPv6)},
            {"networkInterfaces", std::move(interfaces)}};
}

NetworkContext decodeNetworkContext(const QByteArray& json)
{
    const Json document = parseJson(json);
    const JsonObjectReader reader(document, {});
    return {reader.optionalString("externalIPv4"), reader.array("internalAddresses", decodeAddress),
            reader.optionalString("externalIPv6"), reader.array("networkInterfaces", decodeInterface)};
}

} // namespace nerova
