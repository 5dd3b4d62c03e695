#include "network/NetworkReader.h"
#include "platform/linux/DnsDomainReader_linux.h"
#include "platform/linux/GatewayReader_linux.h"
#include "platform/linux/PeripheralReader_linux.h"
#include "platform/linux/WirelessReader_linux.h"

#include <QScopeGuard>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>

namespace nerova {

namespace {

// The number of leading one bits of a netmask; nothing for a mask that is not a prefix.
std::optional<int> prefixLength(const sockaddr* netmask)
{
    if (!netmask) {
        return std::nullopt;
    }
    const unsigned char* bytes = nullptr;
    int size = 0;
    if (netmask->sa_family == AF_INET) {
        bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(netmask)->sin_addr);
        size = 4;
    } else if (netmask->sa_family == AF_INET6) {
        bytes = reinterpret_cast<const sockaddr_in6*>(netmask)->sin6_addr.s6_addr;
        size = 16;
    } else {
        return std::nullopt;
    }
    int length = 0;
    int i = 0;
    for (; i < size && bytes[i] == 0xff; ++i) {
        length += 8;
    }
    if (i < size) {
        const int ones = std::countl_one(bytes[i]);
        if (static_cast<unsigned char>(bytes[i] << ones) != 0) {
            return std::nullopt;
        }
        length += ones;
        while (++i < size) {
            if (bytes[i] != 0) {
                return std::nullopt;
            }
        }
    }
    return length;
}

// The sources of the evidence beyond the addresses. Shared with every read still running, so that
// a reader destroyed meanwhile leaves them alive until the read ends.
struct EvidenceSources {
    GatewayReader gateways;
    WirelessReader wireless{QDBusConnection::systemBus()};
    DnsDomainReader dnsDomains{QDBusConnection::systemBus(), QStringLiteral("/etc/resolv.conf")};
    PeripheralReader peripherals{QStringLiteral("/sys")};
};

// getifaddrs lists every link once as an AF_PACKET entry carrying its hardware address, and
// every IPv4 and IPv6 address as an entry of its own.
class LinuxNetworkReader final : public NetworkReader {
public:
    std::optional<std::vector<NetworkInterface>> readInterfaces() const override
    {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            return std::nullopt;
        }
        const auto release = qScopeGuard([list] { freeifaddrs(list); });
        std::vector<NetworkInterface> interfaces;
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET || !entry->ifa_name ||
                (entry->ifa_flags & IFF_LOOPBACK)) {
                continue;
            }
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            // Longer link addresses (InfiniBand) are cut to what sockaddr_ll declares.
            const int length = std::min<int>(link->sll_halen, sizeof link->sll_addr);
            if (length == 0) {
                continue; // no hardware address: tunnels, WireGuard and the like
            }
            interfaces.push_back({QString::fromUtf8(entry->ifa_name), formatHardwareAddress(link->sll_addr, length)});
        }
        return interfaces;
    }

    std::vector<NetworkAddress> readAllAddresses() const override
    {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            return {};
        }
        const auto release = qScopeGuard([list] { freeifaddrs(list); });
        std::vector<NetworkAddress> addresses;
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr) {
                continue;
            }
            AddressType type;
            socklen_t length;
            switch (entry->ifa_addr->sa_family) {
            case AF_INET:
                type = AddressType::IPv4;
                length = sizeof(sockaddr_in);
                break;
            case AF_INET6:
                type = AddressType::IPv6;
                length = sizeof(sockaddr_in6);
                break;
            default: continue;
            }
            // A failed conversion leaves the buffer empty and lists the address with empty text.
            char host[NI_MAXHOST] = {};
            getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
            host[sizeof host - 1] = '\0';
            addresses.push_back(
                {type, QString::fromUtf8(entry->ifa_name), QString::fromUtf8(host), prefixLength(entry->ifa_netmask)});
        }
        return addresses;
    }

    QCoro::Task<LocationEvidence> readEvidence() const override
    {
        const std::shared_ptr<const EvidenceSources> sources = sources_;
        LocationEvidence evidence;
        // Started together: the gateways may wait for a neighbour to answer, the others for the bus.
        QCoro::Task<std::vector<Gateway>> gateways = sources->gateways.read();
        QCoro::Task<std::vector<WirelessNetwork>> wireless = sources->wireless.read();
        QCoro::Task<std::vector<QString>> dnsDomains = sources->dnsDomains.read();
        evidence.peripherals = sources->peripherals.read();
        evidence.gateways = co_await std::move(gateways);
        evidence.wirelessNetworks = co_await std::move(wireless);
        evidence.dnsDomains = co_await std::move(dnsDomains);
        co_return evidence;
    }

private:
    std::shared_ptr<const EvidenceSources> sources_ = std::make_shared<const EvidenceSources>();
};

} // namespace

std::unique_ptr<NetworkReader> makeSystemNetworkReader() { return std::make_unique<LinuxNetworkReader>(); }

} // namespace nerova
