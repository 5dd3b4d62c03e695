#pragma once

#include <QHashFunctions>
#include <QString>

#include <optional>
#include <vector>

namespace nerova {

// Address family of an interface address.
enum class AddressType { IPv6, IPv4 };

QString rawValue(AddressType type);
// Exactly "IPv6" or "IPv4"; anything else yields nothing.
std::optional<AddressType> addressTypeFromRawValue(QStringView raw);
size_t qHash(AddressType type, size_t seed = 0);

// One address of one interface, in numeric text form.
struct NetworkAddress {
    AddressType type;
    QString name;    // interface name, for example eth0
    QString address; // numeric host text

    // Family raw text followed by the address, no separator: "IPv410.1.2.3". Addresses of the
    // same family and text on different interfaces share one id.
    QString id() const { return rawValue(type) + address; }

    friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
};
size_t qHash(const NetworkAddress& address, size_t seed = 0);

// An interface that has a hardware address.
struct NetworkInterface {
    QString name;
    QString hardwareAddress; // as the system gives it, not reformatted

    QString id() const { return name + hardwareAddress; }

    friend bool operator==(const NetworkInterface&, const NetworkInterface&) = default;
};
size_t qHash(const NetworkInterface& networkInterface, size_t seed = 0);

// One snapshot of the machine's network. Snapshots are never compared as wholes.
struct NetworkContext {
    std::optional<QString> externalIPv4;
    std::vector<NetworkAddress> internalAddresses;
    std::optional<QString> externalIPv6; // nothing fills it; kept for the service's model
    std::vector<NetworkInterface> networkInterfaces;
};

} // namespace nerova
