#include "network/NetworkReader.h"

#include <QScopeGuard>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace nerova {

namespace {

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
            addresses.push_back({type, QString::fromUtf8(entry->ifa_name), QString::fromUtf8(host)});
        }
        return addresses;
    }
};

} // namespace

std::unique_ptr<NetworkReader> makeSystemNetworkReader() { return std::make_unique<LinuxNetworkReader>(); }

} // namespace nerova
