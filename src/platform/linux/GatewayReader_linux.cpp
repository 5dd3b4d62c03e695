#include "platform/linux/GatewayReader_linux.h"

#include "common/Channel.h"

#include "network/NetworkMonitorLogging.h"
#include "network/NetworkReader.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nerova {

namespace rtnetlink {

namespace {

constexpr int answerWaitMs = 200; // how long a dump waits for each part of the kernel's answer

// The states in which the kernel holds a link-layer address for a neighbour.
constexpr unsigned validStates = NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE | NUD_PROBE | NUD_STALE | NUD_DELAY;

template <typename Function>
void forEachAttribute(const rtattr* attribute, int length, Function&& function)
{
    for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        function(attribute);
    }
}

QByteArray payload(const rtattr* attribute)
{
    return QByteArray(static_cast<const char*>(RTA_DATA(attribute)), int(RTA_PAYLOAD(attribute)));
}

// An address as the kernel gives it: 4 or 16 bytes; anything else is no address.
QByteArray addressBytes(const rtattr* attribute)
{
    const QByteArray bytes = payload(attribute);
    return bytes.size() == 4 || bytes.size() == 16 ? bytes : QByteArray();
}

// The gateway of a next hop: RTA_GATEWAY, or RTA_VIA (an IPv4 route through an IPv6 neighbour).
void readGateway(const rtattr* attribute, QByteArray& gateway)
{
    if (attribute->rta_type == RTA_GATEWAY) {
        gateway = addressBytes(attribute);
    } else if (attribute->rta_type == RTA_VIA && RTA_PAYLOAD(attribute) > sizeof(rtvia)) {
        const auto* via = static_cast<const rtvia*>(RTA_DATA(attribute));
        const int size = int(RTA_PAYLOAD(attribute) - sizeof(rtvia));
        const QByteArray bytes(reinterpret_cast<const char*>(via->rtvia_addr), size);
        if ((via->rtvia_family == AF_INET && size == 4) || (via->rtvia_family == AF_INET6 && size == 16)) {
            gateway = bytes;
        }
    }
}

// The route header of a route message about a default route of the main table, else null.
const rtmsg* defaultRouteHeader(const nlmsghdr* message)
{
    if ((message->nlmsg_type != RTM_NEWROUTE && message->nlmsg_type != RTM_DELROUTE) ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
        return nullptr;
    }
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
    if ((route->rtm_family != AF_INET && route->rtm_family != AF_INET6) || route->rtm_dst_len != 0 ||
        (route->rtm_flags & RTM_F_CLONED)) {
        return nullptr;
    }
    unsigned table = route->rtm_table;
    forEachAttribute(RTM_RTA(route), int(RTM_PAYLOAD(message)), [&](const rtattr* attribute) {
        if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(quint32)) {
            std::memcpy(&table, RTA_DATA(attribute), sizeof(quint32));
        }
    });
    return table == RT_TABLE_MAIN ? route : nullptr;
}

} // namespace

bool isDefaultRouteMessage(const nlmsghdr* message) { return defaultRouteHeader(message) != nullptr; }

std::vector<DefaultNexthop> defaultNexthops(const nlmsghdr* message, bool unicastOnly)
{
    const rtmsg* route = defaultRouteHeader(message);
    if (!route || (unicastOnly && route->rtm_type != RTN_UNICAST)) {
        return {};
    }
    constexpr unsigned downFlags = RTNH_F_DEAD | RTNH_F_LINKDOWN;
    DefaultNexthop single;
    single.linkDown = route->rtm_flags & downFlags;
    std::vector<DefaultNexthop> multipath;
    forEachAttribute(RTM_RTA(route), int(RTM_PAYLOAD(message)), [&](const rtattr* attribute) {
        switch (attribute->rta_type) {
        case RTA_OIF:
            if (RTA_PAYLOAD(attribute) >= sizeof(int)) {
                std::memcpy(&single.ifindex, RTA_DATA(attribute), sizeof(int));
            }
            break;
        case RTA_PRIORITY:
            if (RTA_PAYLOAD(attribute) >= sizeof(quint32)) {
                std::memcpy(&single.metric, RTA_DATA(attribute), sizeof(quint32));
            }
            break;
        case RTA_MULTIPATH: {
            auto length = int(RTA_PAYLOAD(attribute));
            for (auto* hop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
                 length >= int(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) && hop->rtnh_len <= length;
                 length -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop)) {
                DefaultNexthop next;
                next.ifindex = hop->rtnh_ifindex;
                next.linkDown = hop->rtnh_flags & downFlags;
                forEachAttribute(RTNH_DATA(hop), int(hop->rtnh_len - sizeof(rtnexthop)),
                                 [&](const rtattr* inner) { readGateway(inner, next.gateway); });
                multipath.push_back(next);
            }
            break;
        }
        default: readGateway(attribute, single.gateway); break;
        }
    });
    if (multipath.empty()) {
        return single.ifindex > 0 ? std::vector{single} : std::vector<DefaultNexthop>{};
    }
    for (DefaultNexthop& next : multipath) {
        next.metric = single.metric;
    }
    return multipath;
}

std::optional<Neighbour> neighbour(const nlmsghdr* message)
{
    if ((message->nlmsg_type != RTM_NEWNEIGH && message->nlmsg_type != RTM_DELNEIGH) ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) {
        return std::nullopt;
    }
    const auto* header = static_cast<const ndmsg*>(NLMSG_DATA(message));
    // Bridge forwarding entries share the message type; proxy entries answer for others.
    if ((header->ndm_family != AF_INET && header->ndm_family != AF_INET6) || (header->ndm_flags & NTF_PROXY)) {
        return std::nullopt;
    }
    Neighbour entry;
    entry.ifindex = header->ndm_ifindex;
    entry.state = header->ndm_state;
    forEachAttribute(
        reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(header) + NLMSG_ALIGN(sizeof(ndmsg))),
        int(message->nlmsg_len - NLMSG_LENGTH(sizeof(ndmsg))), [&](const rtattr* attribute) {
            if (attribute->rta_type == NDA_DST) {
                entry.address = addressBytes(attribute);
            } else if (attribute->rta_type == NDA_LLADDR && RTA_PAYLOAD(attribute) > 0) {
                entry.hardwareAddress = payload(attribute);
            }
        });
    if (message->nlmsg_type == RTM_DELNEIGH || !(entry.state & validStates)) {
        entry.hardwareAddress.reset();
    }
    if (entry.address.isEmpty()) {
        return std::nullopt;
    }
    return entry;
}

bool dump(int socket, int type, const std::function<void(const nlmsghdr*)>& handle)
{
    static quint32 lastSequence = 0;
    const quint32 sequence = ++lastSequence;
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            rtmsg route;
            ndmsg neighbour;
        } body;
    } request{};
    const std::size_t bodySize = type == RTM_GETLINK    ? sizeof(ifinfomsg)
                                 : type == RTM_GETROUTE ? sizeof(rtmsg)
                                                        : sizeof(ndmsg);
    request.header.nlmsg_len = NLMSG_LENGTH(bodySize);
    request.header.nlmsg_type = quint16(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket, &request, request.header.nlmsg_len, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return false;
    }
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        pollfd ready{socket, POLLIN, 0};
        const int polled = ::poll(&ready, 1, answerWaitMs);
        if (polled == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        const ssize_t length = polled < 0 ? -1 : ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false; // ENOBUFS included: the answer is incomplete
        }
        int remaining = int(length);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            const bool ours = message->nlmsg_seq == sequence;
            if (message->nlmsg_type == NLMSG_DONE && ours) {
                return true;
            }
            if (message->nlmsg_type == NLMSG_ERROR && ours) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                errno =
                    message->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error < 0 ? -error->error : EPROTO;
                return false;
            }
            if (message->nlmsg_type >= NLMSG_MIN_TYPE) {
                handle(message); // our answer, or a notification the socket subscribed to
            }
        }
    }
}

} // namespace rtnetlink

namespace {

using namespace rtnetlink;

constexpr quint16 discardPort = 9;

struct Link {
    QString name;
    unsigned flags = 0;
    unsigned short type = 0;
    QByteArray kind;
};

// From <linux/if_arp.h> and <linux/if.h>, which clash with <net/if.h>.
constexpr unsigned short arphrdIp6Gre = 823;
constexpr unsigned iffLowerUp = 1u << 16;

bool isTunnel(const Link& link)
{
    static const QByteArrayList tunnelKinds{"tun",    "wireguard", "ppp",    "ipip",      "gre",
                                            "gretap", "sit",       "vti",    "vti6",      "ip6tnl",
                                            "ip6gre", "ip6gretap", "erspan", "ip6erspan", "xfrm"};
    switch (link.type) {
    case ARPHRD_NONE: // tun, WireGuard
    case ARPHRD_PPP:
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case arphrdIp6Gre: return true;
    default: return tunnelKinds.contains(link.kind); // tap and Ethernet over GRE look like Ethernet
    }
}

std::optional<Link> parseLink(const nlmsghdr* message)
{
    if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return std::nullopt;
    }
    const auto* header = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
    Link link;
    link.flags = header->ifi_flags;
    link.type = header->ifi_type;
    forEachAttribute(IFLA_RTA(header), int(IFLA_PAYLOAD(message)), [&](const rtattr* attribute) {
        if (attribute->rta_type == IFLA_IFNAME) {
            link.name =
                QString::fromUtf8(static_cast<const char*>(RTA_DATA(attribute)),
                                  int(qstrnlen(static_cast<const char*>(RTA_DATA(attribute)), RTA_PAYLOAD(attribute))));
        } else if (attribute->rta_type == IFLA_LINKINFO) {
            forEachAttribute(
                static_cast<const rtattr*>(RTA_DATA(attribute)), int(RTA_PAYLOAD(attribute)), [&](const rtattr* info) {
                    if (info->rta_type == IFLA_INFO_KIND) {
                        link.kind =
                            QByteArray(static_cast<const char*>(RTA_DATA(info)),
                                       int(qstrnlen(static_cast<const char*>(RTA_DATA(info)), RTA_PAYLOAD(info))));
                    }
                });
        }
    });
    return link;
}

QString addressText(const QByteArray& bytes)
{
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(bytes.size() == 4 ? AF_INET : AF_INET6, bytes.constData(), text, sizeof text);
    return QString::fromLatin1(text);
}

// A neighbour entry whose link-layer address can be used without asking the gateway again: one
// that was confirmed recently, is being confirmed (DELAY, PROBE) or never expires.
bool usable(const Neighbour& entry)
{
    return entry.hardwareAddress && (entry.state & (NUD_REACHABLE | NUD_PERMANENT | NUD_DELAY | NUD_PROBE | NUD_NOARP));
}

// Sends one empty datagram to the discard port of `gateway` out of link `ifindex`: the kernel
// resolves (or, for a stale entry, verifies) the neighbour before it can send it.
void provokeAnswer(int ifindex, const QByteArray& gateway)
{
    const bool v4 = gateway.size() == 4;
    const int socket = ::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        qCDebug(lcNetworkMonitor, "Cannot open a datagram socket to reach a gateway: %s", std::strerror(errno));
        return;
    }
    sockaddr_storage target{};
    socklen_t targetLength;
    // The control message names the link to leave through, as the route does.
    alignas(cmsghdr) char control[CMSG_SPACE(std::max(sizeof(in_pktinfo), sizeof(in6_pktinfo)))] = {};
    msghdr message{};
    message.msg_control = control;
    auto* header = reinterpret_cast<cmsghdr*>(control);
    if (v4) {
        auto* in = reinterpret_cast<sockaddr_in*>(&target);
        in->sin_family = AF_INET;
        in->sin_port = htons(discardPort);
        std::memcpy(&in->sin_addr, gateway.constData(), 4);
        targetLength = sizeof(sockaddr_in);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = ifindex;
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        message.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&target);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(discardPort);
        std::memcpy(&in6->sin6_addr, gateway.constData(), 16);
        if (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr)) {
            in6->sin6_scope_id = unsigned(ifindex);
        }
        targetLength = sizeof(sockaddr_in6);
        header->cmsg_level = IPPROTO_IPV6;
        header->cmsg_type = IPV6_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
        in6_pktinfo info{};
        info.ipi6_ifindex = unsigned(ifindex);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
    }
    message.msg_name = &target;
    message.msg_namelen = targetLength;
    if (::sendmsg(socket, &message, MSG_DONTWAIT) < 0) {
        qCDebug(lcNetworkMonitor, "Cannot send a datagram to the gateway %s: %s", qPrintable(addressText(gateway)),
                std::strerror(errno));
    }
    ::close(socket);
}

// A neighbour entry's key: the link followed by the address bytes.
QByteArray neighbourKey(int ifindex, const QByteArray& address)
{
    return QByteArray(reinterpret_cast<const char*>(&ifindex), sizeof ifindex) + address;
}

} // namespace

GatewayReader::GatewayReader(std::chrono::milliseconds resolveWait) : resolveWait_(resolveWait) {}

QCoro::Task<std::vector<Gateway>> GatewayReader::read() const
{
    // Nothing of `this` is used after the first co_await: the reader may be gone by then.
    const QDeadlineTimer deadline(resolveWait_);
    const auto fail = [this](const char* step) {
        if (!std::exchange(failureLogged_, true)) {
            qCWarning(lcNetworkMonitor, "Cannot read the default gateways (%s: %s)", step, std::strerror(errno));
        }
        return std::vector<Gateway>{};
    };
    const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0) {
        co_return fail("netlink socket");
    }
    const auto closeSocket = qScopeGuard([socket] { ::close(socket); });
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        co_return fail("netlink bind");
    }

    std::map<int, Link> links;
    const bool linksRead = dump(socket, RTM_GETLINK, [&](const nlmsghdr* message) {
        if (std::optional<Link> link = parseLink(message)) {
            links[static_cast<const ifinfomsg*>(NLMSG_DATA(message))->ifi_index] = std::move(*link);
        }
    });
    if (!linksRead) {
        co_return fail("link dump");
    }
    std::vector<DefaultNexthop> routes;
    const bool routesRead = dump(socket, RTM_GETROUTE, [&](const nlmsghdr* message) {
        for (DefaultNexthop& next : defaultNexthops(message, true)) {
            const auto link = links.find(next.ifindex);
            // LOWER_UP follows the carrier at once, RUNNING only when the kernel got round to it.
            constexpr unsigned upAndRunning = IFF_UP | IFF_RUNNING | iffLowerUp;
            if (!next.linkDown && link != links.end() && (link->second.flags & upAndRunning) == upAndRunning) {
                routes.push_back(std::move(next));
            }
        }
    });
    if (!routesRead) {
        co_return fail("route dump");
    }
    std::stable_sort(routes.begin(), routes.end(), [](const auto& a, const auto& b) { return a.metric < b.metric; });

    std::vector<Gateway> gateways;
    std::map<QByteArray, std::vector<std::size_t>> waiting; // neighbour key -> the gateways that need it
    for (const DefaultNexthop& route : routes) {
        const Link& link = links.at(route.ifindex);
        Gateway gateway{link.name, std::nullopt, std::nullopt, isTunnel(link)};
        if (!route.gateway.isEmpty()) {
            gateway.address = addressText(route.gateway);
            if (!gateway.tunnel) {
                waiting[neighbourKey(route.ifindex, route.gateway)].push_back(gateways.size());
            }
        }
        gateways.push_back(std::move(gateway));
    }
    if (waiting.empty()) {
        co_return gateways;
    }

    // Whatever the neighbour table says from here on, the dump and every change after it, is read
    // from this socket.
    const int group = RTNLGRP_NEIGH;
    if (::setsockopt(socket, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) < 0) {
        qCDebug(lcNetworkMonitor, "Cannot follow the neighbour table: %s", std::strerror(errno));
    }
    std::map<QByteArray, Neighbour> table;
    const auto take = [&](const nlmsghdr* message) {
        if (std::optional<Neighbour> entry = neighbour(message)) {
            table[neighbourKey(entry->ifindex, entry->address)] = std::move(*entry);
        }
    };
    // Moves every gateway whose entry can be used out of `waiting`.
    const auto settle = [&] {
        for (auto it = waiting.begin(); it != waiting.end();) {
            const auto entry = table.find(it->first);
            if (entry == table.end() || !usable(entry->second)) {
                ++it;
                continue;
            }
            for (const std::size_t index : it->second) {
                gateways[index].hardwareAddress = formatHardwareAddress(
                    reinterpret_cast<const unsigned char*>(entry->second.hardwareAddress->constData()),
                    int(entry->second.hardwareAddress->size()));
            }
            it = waiting.erase(it);
        }
    };
    if (!dump(socket, RTM_GETNEIGH, take)) {
        qCDebug(lcNetworkMonitor, "Cannot read the neighbour table: %s", std::strerror(errno));
    }
    settle();
    // Every gateway still waiting is asked at once; their answers are awaited together.
    for (const auto& [key, indexes] : waiting) {
        int ifindex;
        std::memcpy(&ifindex, key.constData(), sizeof ifindex);
        provokeAnswer(ifindex, key.mid(sizeof ifindex));
    }
    // The datagram turns a stale entry into one being verified (DELAY) as it is sent, without a
    // notification; a resolution that starts from nothing is notified when it ends.
    if (!dump(socket, RTM_GETNEIGH, take)) {
        qCDebug(lcNetworkMonitor, "Cannot read the neighbour table: %s", std::strerror(errno));
    }
    settle();
    // Wake-ups through a channel: true when the socket can be read, false when the time is up.
    // (Awaiting the notifier's signal itself binds its private-signal argument to null.)
    Channel<bool> wake;
    QSocketNotifier notifier(socket, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [&wake] { wake.send(true); });
    QTimer timeUp;
    timeUp.setSingleShot(true);
    QObject::connect(&timeUp, &QTimer::timeout, &timeUp, [&wake] { wake.send(false); });
    timeUp.start(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 1)));
    while (!waiting.empty() && !deadline.hasExpired()) {
        const std::optional<bool> readable = co_await wake.receive();
        if (!readable.value_or(false)) {
            break; // nobody answered in time
        }
        // On the heap: g++ 12 does not keep the alignment of a buffer in a coroutine's frame.
        const auto storage = std::make_unique<nlmsghdr[]>(8192 / sizeof(nlmsghdr));
        char* const buffer = reinterpret_cast<char*>(storage.get());
        constexpr std::size_t bufferSize = 8192 / sizeof(nlmsghdr) * sizeof(nlmsghdr);
        bool reread = false;
        while (!deadline.hasExpired()) {
            const ssize_t length = ::recv(socket, buffer, bufferSize, MSG_DONTWAIT);
            if (length < 0 && errno == ENOBUFS) {
                if (!std::exchange(reread, true)) {
                    dump(socket, RTM_GETNEIGH, take); // changes were lost: read the whole table again
                }
                continue;
            }
            if (length <= 0) {
                break;
            }
            int remainingBytes = int(length);
            for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(message, remainingBytes);
                 message = NLMSG_NEXT(message, remainingBytes)) {
                take(message);
            }
        }
        settle();
    }
    co_return gateways;
}

} // namespace nerova
