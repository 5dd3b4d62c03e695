#pragma once

#include "network/NetworkContext.h"

#include <QCoro/QCoroTask>
#include <QStringView>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace nerova {

// Reads the machine's current interfaces and addresses from the operating system. The network
// monitor and the command line read the network through it; tests replace it.
class NetworkReader {
public:
    virtual ~NetworkReader() = default;

    // The interfaces that have a hardware address, loopback excluded, in enumeration order, each
    // with its MAC address as lower-case colon text. Nothing when the system gives no list.
    virtual std::optional<std::vector<NetworkInterface>> readInterfaces() const = 0;

    // Every IPv4 and IPv6 address of every interface, in enumeration order, as numeric host text
    // (empty when the conversion fails) with its prefix length. Empty when the system gives no list.
    virtual std::vector<NetworkAddress> readAllAddresses() const = 0;

    // What tells places apart beyond the addresses: the default gateways, the Wi-Fi networks, the
    // DNS domains and the peripherals. Never blocks the event loop; may take up to about a second
    // while a gateway's hardware address is resolved. A source that cannot be read gives an empty
    // list and says why once. None of it by default.
    virtual QCoro::Task<LocationEvidence> readEvidence() const { co_return LocationEvidence{}; }
};

// The reader of this operating system.
std::unique_ptr<NetworkReader> makeSystemNetworkReader();

// Address texts starting with one of these are not worth matching: loopback and link-local.
inline constexpr std::array<QStringView, 3> filterPrefixes{u"127.", u"fe80::", u"::1"};

// `addresses` without those whose text begins with one of `filterPrefixes`, order kept.
std::vector<NetworkAddress> filterInterfaceAddresses(std::vector<NetworkAddress> addresses);

// The filtered address list of the current network.
std::vector<NetworkAddress> readInterfaceAddresses(const NetworkReader& reader);

// Hardware address bytes as lower-case hexadecimal pairs joined by colons: "02:00:5e:10:00:01".
QString formatHardwareAddress(const unsigned char* bytes, int length);

} // namespace nerova
