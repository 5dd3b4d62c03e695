#include "network/NetworkContext.h"

namespace nerova {

QString rawValue(AddressType type)
{
    switch (type) {
    case AddressType::IPv6: return QStringLiteral("IPv6");
    case AddressType::IPv4: return QStringLiteral("IPv4");
    }
    return {};
}

std::optional<AddressType> addressTypeFromRawValue(QStringView raw)
{
    if (raw == u"IPv6") {
        return AddressType::IPv6;
    }
    if (raw == u"IPv4") {
        return AddressType::IPv4;
    }
    return std::nullopt;
}

QString rawValue(PeripheralKind kind)
{
    switch (kind) {
    case PeripheralKind::display: return QStringLiteral("display");
    case PeripheralKind::usb: return QStringLiteral("usb");
    }
    return {};
}

std::optional<PeripheralKind> peripheralKindFromRawValue(QStringView raw)
{
    if (raw == u"display") {
        return PeripheralKind::display;
    }
    if (raw == u"usb") {
        return PeripheralKind::usb;
    }
    return std::nullopt;
}

size_t qHash(AddressType type, size_t seed) { return qHash(rawValue(type), seed); }

size_t qHash(const NetworkAddress& address, size_t seed)
{
    return qHashMulti(seed, rawValue(address.type), address.name, address.address);
}

size_t qHash(const NetworkInterface& networkInterface, size_t seed)
{
    return qHashMulti(seed, networkInterface.name, networkInterface.hardwareAddress);
}

} // namespace nerova
