#pragma once

#include "network/NetworkContext.h"

#include <QByteArray>
#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

struct nlmsghdr;

namespace nerova {

// The default routes of the current network namespace (IPv4 and IPv6, metric ascending, routes
// whose link is down left out) with their gateways' hardware addresses from the neighbour table,
// both from rtnetlink. A gateway whose neighbour entry is missing or stale is sent one datagram (to
// its discard port), which makes the kernel resolve or verify the entry; all of them are awaited
// together for at most `resolveWait`, and one that stays silent has no hardware address. A stale
// entry's address is used as soon as the kernel is verifying it (DELAY), as the kernel itself does.
// Routes through tunnels (tun, tap, WireGuard, ppp, ipip, gre, sit, vti, ...) have no hardware address.
class GatewayReader {
public:
    explicit GatewayReader(std::chrono::milliseconds resolveWait = std::chrono::seconds(1));

    QCoro::Task<std::vector<Gateway>> read() const;

private:
    std::chrono::milliseconds resolveWait_;
    mutable bool failureLogged_ = false; // a reader says once that it cannot read
};

// The pieces of rtnetlink that the gateway reader and the netlink change source share.
namespace rtnetlink {

// One way out of a default route of the main table.
struct DefaultNexthop {
    int ifindex = 0;
    QByteArray gateway; // 4 or 16 address bytes; empty for a route without a gateway
    unsigned metric = 0;
    bool linkDown = false; // the kernel marks the next hop dead or without carrier
};

// The next hops of `message` when it is a route message about a default route (destination length
// 0) of the main table; nothing for any other message. `unicastOnly` leaves out unreachable,
// blackhole and prohibit routes.
std::vector<DefaultNexthop> defaultNexthops(const nlmsghdr* message, bool unicastOnly);
bool isDefaultRouteMessage(const nlmsghdr* message);

// A neighbour message: the entry's link and address, its state and its link-layer address (only
// while the kernel considers it valid).
struct Neighbour {
    int ifindex = 0;
    QByteArray address;
    unsigned state = 0;
    std::optional<QByteArray> hardwareAddress;
};
std::optional<Neighbour> neighbour(const nlmsghdr* message);

// Sends a dump request of `type` (RTM_GETLINK, RTM_GETROUTE, RTM_GETNEIGH) for every family on
// `socket` and hands each answer to `handle`. The kernel answers at once; a reply that is not
// there within a fraction of a second ends the dump as failed. False on failure (errno set).
bool dump(int socket, int type, const std::function<void(const nlmsghdr*)>& handle);

} // namespace rtnetlink

} // namespace nerova
