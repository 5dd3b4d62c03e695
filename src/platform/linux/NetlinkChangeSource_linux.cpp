#include "network/NetworkMonitorLogging.h"
#include "platform/linux/GatewayReader_linux.h"
#include "platform/linux/PeripheralReader_linux.h"
#include "platform/linux/SystemSources_linux.h"
#include "platform/linux/WirelessReader_linux.h"

#include <QDBusConnection>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nerova {

namespace {

// A netlink socket subscribed to the link, address, route and neighbour groups of rtnetlink.
// Every link or address message, every change of the default routes of the main table, and every
// overrun of the socket's buffer (messages were lost) calls the trigger. The neighbour table
// changes all the time (entries age from REACHABLE to STALE and are verified again), so a
// neighbour message calls the trigger only when it brings a new link-layer address for a default
// gateway (see noteNeighbour).
class NetlinkChangeSource final : public NetworkChangeSource {
public:
    NetlinkChangeSource(int socket, Trigger trigger)
        : socket_(socket), trigger_(std::move(trigger)), notifier_(socket, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readMessages(); });
        readTables();
    }

    ~NetlinkChangeSource() override
    {
        notifier_.setEnabled(false);
        ::close(socket_);
    }

private:
    using Key = std::pair<int, QByteArray>; // link index and neighbour address

    void readMessages()
    {
        alignas(nlmsghdr) char buffer[16384];
        bool routesChanged = false; // a batch may hold many: the routes are read once after it
        for (;;) {
            const ssize_t length = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (length < 0 && errno == ENOBUFS) {
                trigger_(); // the kernel dropped messages: something changed
                readTables();
                continue;
            }
            if (length <= 0) {
                break; // EAGAIN: drained; anything else: wait for the next notification
            }
            int remaining = static_cast<int>(length);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                switch (header->nlmsg_type) {
                case RTM_NEWLINK:
                case RTM_DELLINK:
                case RTM_NEWADDR:
                case RTM_DELADDR: trigger_(); break;
                case RTM_NEWROUTE:
                case RTM_DELROUTE: routesChanged = routesChanged || rtnetlink::isDefaultRouteMessage(header); break;
                case RTM_NEWNEIGH:
                case RTM_DELNEIGH:
                    if (noteNeighbour(header)) {
                        trigger_();
                    }
                    break;
                default: break;
                }
            }
        }
        // Router advertisements renew an IPv6 default route every few minutes, or seconds: only a
        // change of the default routes' next hops counts.
        if (routesChanged && readGateways()) {
            trigger_();
        }
    }

    // Records the link-layer address of a neighbour message; true when it is a gateway's and differs
    // from the last one seen for that neighbour. Entries that lose their address (flushed with their
    // link, failed) are not forgotten: when the same address comes back, as it does when a snapshot
    // resolves the gateway again after a change of the link, nothing changed. So the first address
    // ever seen for a gateway, and every different one after it, calls the trigger.
    bool noteNeighbour(const nlmsghdr* message)
    {
        std::optional<rtnetlink::Neighbour> entry = rtnetlink::neighbour(message);
        if (!entry || !entry->hardwareAddress) {
            return false;
        }
        Key key{entry->ifindex, entry->address};
        if (!gateways_.contains(key)) {
            return false; // only gateways are followed: a large segment holds thousands of neighbours
        }
        QByteArray& known = hardwareAddresses_[key];
        if (known == *entry->hardwareAddress) {
            return false;
        }
        known = *entry->hardwareAddress;
        return true;
    }

    // The next hops of the default routes (a route without a gateway has an empty address), from a
    // dump on a socket of its own (this one's notifications would mix with the answer). True when
    // they changed, or cannot be read (then they stay as they were).
    bool readGateways()
    {
        bool changed = true;
        withDumpSocket([this, &changed](int socket) {
            std::set<Key> gateways;
            const bool read = rtnetlink::dump(socket, RTM_GETROUTE, [&](const nlmsghdr* message) {
                for (const rtnetlink::DefaultNexthop& next : rtnetlink::defaultNexthops(message, false)) {
                    gateways.insert({next.ifindex, next.gateway});
                }
            });
            if (read) {
                changed = gateways != gateways_;
                gateways_ = std::move(gateways);
                std::erase_if(hardwareAddresses_,
                              [this](const auto& entry) { return !gateways_.contains(entry.first); });
            }
        });
        return changed;
    }

    // The gateways and the link-layer address of every neighbour, to compare the next changes with.
    void readTables()
    {
        readGateways();
        withDumpSocket([this](int socket) {
            rtnetlink::dump(socket, RTM_GETNEIGH, [this](const nlmsghdr* message) { noteNeighbour(message); });
        });
    }

    template <typename Function>
    static void withDumpSocket(Function&& function)
    {
        const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (socket < 0) {
            qCDebug(lcNetworkMonitor, "Cannot open a netlink socket to read the routes: %s", std::strerror(errno));
            return;
        }
        function(socket);
        ::close(socket);
    }

    int socket_;
    Trigger trigger_;
    QSocketNotifier notifier_;
    std::set<Key> gateways_;                      // (link, gateway address) of every default route
    std::map<Key, QByteArray> hardwareAddresses_; // the last link-layer address seen per gateway
};

} // namespace

std::unique_ptr<NetworkChangeSource> makeNetlinkChangeSource(NetworkChangeSource::Trigger trigger)
{
    const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0) {
        qCWarning(lcNetworkMonitor, "Cannot open a netlink socket (%s): network changes are not noticed",
                  std::strerror(errno));
        return nullptr;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_NEIGH;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        qCWarning(lcNetworkMonitor, "Cannot subscribe to netlink notifications (%s): network changes are not noticed",
                  std::strerror(errno));
        ::close(socket);
        return nullptr;
    }
    return std::make_unique<NetlinkChangeSource>(socket, std::move(trigger));
}

std::vector<std::unique_ptr<NetworkChangeSource>> makeSystemNetworkChangeSources(NetworkChangeSource::Trigger trigger)
{
    std::vector<std::unique_ptr<NetworkChangeSource>> sources;
    if (auto netlink = makeNetlinkChangeSource(trigger)) {
        sources.push_back(std::move(netlink));
    }
    if (auto resume = makeResumeChangeSource(trigger)) {
        sources.push_back(std::move(resume));
    }
    if (auto wireless = makeWirelessChangeSource(trigger, QDBusConnection::systemBus())) {
        sources.push_back(std::move(wireless));
    }
    if (auto peripherals = makePeripheralChangeSource(trigger)) {
        sources.push_back(std::move(peripherals));
    }
    return sources;
}

} // namespace nerova
