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
    std::optional<int> prefixLength =
        std::nullopt; // the configured prefix; unknown in snapshots saved before it was recorded

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

// One default route: the interface it leaves through, its gateway and the gateway's hardware
// address as lower-case colon text. A route without a gateway (`default dev wg0`) has no address;
// a gateway that did not answer, and any tunnel, has no hardware address.
struct Gateway {
    QString name;
    std::optional<QString> address; // numeric text; an IPv6 link-local address without its zone
    std::optional<QString> hardwareAddress;
    bool tunnel = false;

    friend bool operator==(const Gateway&, const Gateway&) = default;
};

// A connected Wi-Fi interface and the access point it is associated with.
struct WirelessNetwork {
    QString name;
    QString ssid;  // invalid UTF-8 bytes written as \xNN
    QString bssid; // lower-case colon text

    friend bool operator==(const WirelessNetwork&, const WirelessNetwork&) = default;
};

enum class PeripheralKind { display, usb };

QString rawValue(PeripheralKind kind);
// Exactly "display" or "usb"; anything else yields nothing.
std::optional<PeripheralKind> peripheralKindFromRawValue(QStringView raw);

// A monitor or USB device plugged into the machine. The id does not depend on the port or the
// boot: "display:MFG-pppp-ssssssss[-serial text]" or "usb:vvvv:pppp[:serial]".
struct Peripheral {
    PeripheralKind kind;
    QString id;
    QString name;
    bool uniqueSerial = false; // whether the id names this one device rather than its model

    friend bool operator==(const Peripheral&, const Peripheral&) = default;
};

// What tells places apart beyond the addresses. Every list is empty where its source is missing.
struct LocationEvidence {
    std::vector<Gateway> gateways; // default routes, metric ascending
    std::vector<WirelessNetwork> wirelessNetworks;
    std::vector<QString> dnsDomains; // lower case, no trailing dot, no repetition
    std::vector<Peripheral> peripherals;

    friend bool operator==(const LocationEvidence&, const LocationEvidence&) = default;
};

// One snapshot of the machine's network. Snapshots are never compared as wholes.
struct NetworkContext {
    std::optional<QString> externalIPv4;
    std::vector<NetworkAddress> internalAddresses;
    std::optional<QString> externalIPv6; // nothing fills it; kept for the service's model
    std::vector<NetworkInterface> networkInterfaces;
    LocationEvidence evidence = {}; // never leaves the machine
};

} // namespace nerova
