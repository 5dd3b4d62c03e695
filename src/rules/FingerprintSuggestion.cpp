#include "rules/FingerprintSuggestion.h"

#include "rules/CIDRv4.h"

#include <algorithm>

namespace nerova {

namespace {

FingerprintRule rule(QString name, FingerprintConditionType type, std::vector<FingerprintConditionArgument> arguments)
{
    return {std::move(name), {FingerprintCondition{type, std::move(arguments), {}, false}}};
}

// Whether the 32-bit address value lies in 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16, which
// are found at home and in any office alike.
bool isPrivate(qint64 value)
{
    return (value >> 24) == 10 || (value >> 20) == ((172 << 4) | 1) || (value >> 16) == ((192 << 8) | 168);
}

QString dottedQuad(qint64 value)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg((value >> 24) & 0xff)
        .arg((value >> 16) & 0xff)
        .arg((value >> 8) & 0xff)
        .arg(value & 0xff);
}

// "10.1.0.0/16" for 10.1.2.3 with prefix 16; nothing for text that is not an IPv4 address.
std::optional<std::pair<QString, qint64>> networkOf(const QString& address, int prefixLength)
{
    try {
        const qint64 value = CIDRv4::dottedQuadValue(address);
        return std::pair{
            QStringLiteral("%1/%2").arg(dottedQuad(value & CIDRv4::netmask(prefixLength))).arg(prefixLength), value};
    } catch (const CIDRErrors&) {
        return std::nullopt;
    }
}

QString privateMark(qint64 value) { return isPrivate(value) ? QStringLiteral(" (private range)") : QString(); }

} // namespace

Fingerprint suggestFingerprint(const NetworkContext& context, const SuggestionTarget& target)
{
    Fingerprint fingerprint{target.fingerprintId, target.name, target.locationPoint, {}};
    std::vector<FingerprintRule>& rules = fingerprint.rules;
    const LocationEvidence& evidence = context.evidence;

    const auto gateway = std::find_if(evidence.gateways.begin(), evidence.gateways.end(),
                                      [](const Gateway& entry) { return entry.hardwareAddress.has_value(); });
    if (gateway != evidence.gateways.end()) {
        rules.push_back(rule(QStringLiteral("Default gateway %1 (%2)").arg(*gateway->hardwareAddress, gateway->name),
                             FingerprintConditionType::gateway, {{"hardwareAddress", *gateway->hardwareAddress}}));
    }
    if (!evidence.wirelessNetworks.empty()) {
        const WirelessNetwork& network = evidence.wirelessNetworks.front();
        rules.push_back(rule(QStringLiteral("Wi-Fi \"%1\" at access point %2").arg(network.ssid, network.bssid),
                             FingerprintConditionType::wireless, {{"ssid", network.ssid}, {"bssid", network.bssid}}));
    }
    if (!evidence.dnsDomains.empty()) {
        rules.push_back(rule(QStringLiteral("DNS domain %1").arg(evidence.dnsDomains.front()),
                             FingerprintConditionType::dnsDomain, {{"domain", evidence.dnsDomains.front()}}));
    }
    const auto routed = [&evidence](const QString& name) {
        return evidence.gateways.empty() || std::any_of(evidence.gateways.begin(), evidence.gateways.end(),
                                                        [&name](const Gateway& entry) { return entry.name == name; });
    };
    QStringList ranges; // each once, in address order
    for (const NetworkAddress& address : context.internalAddresses) {
        const int prefixLength = address.prefixLength.value_or(24);
        if (address.type != AddressType::IPv4 || prefixLength < 1 || prefixLength > 32 || !routed(address.name)) {
            continue;
        }
        const auto network = networkOf(address.address, prefixLength);
        if (!network || ranges.contains(network->first)) {
            continue;
        }
        ranges << network->first;
        rules.push_back(rule(QStringLiteral("Internal network %1 (%2)%3")
                                 .arg(network->first, address.name, privateMark(network->second)),
                             FingerprintConditionType::internalIp, {{"cidrRange", network->first}}));
    }
    if (context.externalIPv4) {
        if (const auto network = networkOf(*context.externalIPv4, 32)) {
            rules.push_back(
                rule(QStringLiteral("External address %1%2").arg(network->first, privateMark(network->second)),
                     FingerprintConditionType::externalIp, {{"cidrRange", network->first}}));
        }
    }
    if (target.locationPoint.placeId) {
        for (const Peripheral& peripheral : evidence.peripherals) {
            if (peripheral.uniqueSerial) {
                rules.push_back(rule(QStringLiteral("Peripheral %1").arg(peripheral.name),
                                     FingerprintConditionType::peripheral, {{"id", peripheral.id}}));
            }
        }
    }
    return fingerprint;
}

} // namespace nerova
