#include "network/NetworkContextJson.h"

namespace nerova {

namespace {

Json optionalText(const std::optional<QString>& text) { return text ? Json(toStdString(*text)) : Json(nullptr); }

// A key that must be present and may be null.
std::optional<QString> nullableString(const JsonObjectReader& reader, const char* key)
{
    if (!reader.contains(key)) {
        throw JsonDecodeError(JsonDecodeError::Case::keyNotFound, reader.pathOf(key),
                              QStringLiteral("required key is missing"));
    }
    return reader.optionalString(key);
}

NetworkAddress decodeAddress(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    const QString typeText = reader.string("type");
    const std::optional<AddressType> type = addressTypeFromRawValue(typeText);
    if (!type) {
        throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, reader.pathOf("type"),
                              QStringLiteral("\"%1\" is not an address type").arg(typeText));
    }
    NetworkAddress address{*type, reader.string("name"), reader.string("address")};
    if (reader.contains("prefixLength") && !value["prefixLength"].is_null()) {
        const qint64 length = reader.int64("prefixLength");
        if (length < 0 || length > (*type == AddressType::IPv4 ? 32 : 128)) {
            throw JsonDecodeError(
                JsonDecodeError::Case::dataCorrupted, reader.pathOf("prefixLength"),
                QStringLiteral("%1 is not a prefix length of an %2 address").arg(length).arg(rawValue(*type)));
        }
        address.prefixLength = int(length);
    }
    return address;
}

NetworkInterface decodeInterface(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    return {reader.string("name"), reader.string("hardwareAddress")};
}

Gateway decodeGateway(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    std::optional<QString> hardwareAddress = nullableString(reader, "hardwareAddress");
    if (hardwareAddress) {
        *hardwareAddress = hardwareAddress->toLower();
    }
    return {reader.string("name"), nullableString(reader, "address"), std::move(hardwareAddress),
            reader.boolean("tunnel")};
}

WirelessNetwork decodeWirelessNetwork(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    return {reader.string("name"), reader.string("ssid"), reader.string("bssid").toLower()};
}

Peripheral decodePeripheral(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    const QString kindText = reader.string("kind");
    const std::optional<PeripheralKind> kind = peripheralKindFromRawValue(kindText);
    if (!kind) {
        throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, reader.pathOf("kind"),
                              QStringLiteral("\"%1\" is not a peripheral kind").arg(kindText));
    }
    return {*kind, reader.string("id"), reader.string("name"), reader.boolean("uniqueSerial")};
}

// The list under `key`, empty when the key is missing (snapshots saved before it existed).
template <typename Decode>
auto optionalArray(const JsonObjectReader& reader, const char* key, Decode decode)
{
    return reader.contains(key) ? reader.array(key, decode) : decltype(reader.array(key, decode)){};
}

} // namespace

Json encodeNetworkContext(const NetworkContext& context)
{
    Json addresses = Json::array();
    for (const NetworkAddress& address : context.internalAddresses) {
        Json entry{{"type", toStdString(rawValue(address.type))},
                   {"name", toStdString(address.name)},
                   {"address", toStdString(address.address)}};
        if (address.prefixLength) {
            entry["prefixLength"] = *address.prefixLength;
        }
        addresses.push_back(std::move(entry));
    }
    Json interfaces = Json::array();
    for (const NetworkInterface& networkInterface : context.networkInterfaces) {
        interfaces.push_back({{"name", toStdString(networkInterface.name)},
                              {"hardwareAddress", toStdString(networkInterface.hardwareAddress)}});
    }
    const LocationEvidence& evidence = context.evidence;
    Json gateways = Json::array();
    for (const Gateway& gateway : evidence.gateways) {
        gateways.push_back({{"name", toStdString(gateway.name)},
                            {"address", optionalText(gateway.address)},
                            {"hardwareAddress", optionalText(gateway.hardwareAddress)},
                            {"tunnel", gateway.tunnel}});
    }
    Json wireless = Json::array();
    for (const WirelessNetwork& network : evidence.wirelessNetworks) {
        wireless.push_back({{"name", toStdString(network.name)},
                            {"ssid", toStdString(network.ssid)},
                            {"bssid", toStdString(network.bssid)}});
    }
    Json domains = Json::array();
    for (const QString& domain : evidence.dnsDomains) {
        domains.push_back(toStdString(domain));
    }
    Json peripherals = Json::array();
    for (const Peripheral& peripheral : evidence.peripherals) {
        peripherals.push_back({{"kind", toStdString(rawValue(peripheral.kind))},
                               {"id", toStdString(peripheral.id)},
                               {"name", toStdString(peripheral.name)},
                               {"uniqueSerial", peripheral.uniqueSerial}});
    }
    return {{"externalIPv4", optionalText(context.externalIPv4)},
            {"internalAddresses", std::move(addresses)},
            {"externalIPv6", optionalText(context.externalIPv6)},
            {"networkInterfaces", std::move(interfaces)},
            {"gateways", std::move(gateways)},
            {"wirelessNetworks", std::move(wireless)},
            {"dnsDomains", std::move(domains)},
            {"peripherals", std::move(peripherals)}};
}

NetworkContext decodeNetworkContext(const QByteArray& json)
{
    const Json document = parseJson(json);
    const JsonObjectReader reader(document, {});
    NetworkContext context{reader.optionalString("externalIPv4"),
                           reader.array("internalAddresses", decodeAddress),
                           reader.optionalString("externalIPv6"),
                           reader.array("networkInterfaces", decodeInterface),
                           {}};
    context.evidence.gateways = optionalArray(reader, "gateways", decodeGateway);
    context.evidence.wirelessNetworks = optionalArray(reader, "wirelessNetworks", decodeWirelessNetwork);
    context.evidence.dnsDomains = optionalArray(reader, "dnsDomains", jsonString);
    context.evidence.peripherals = optionalArray(reader, "peripherals", decodePeripheral);
    return context;
}

} // namespace nerova
