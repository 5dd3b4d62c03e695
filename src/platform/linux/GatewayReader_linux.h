#pragma once

#include "network/NetworkContext.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <vector>

namespace nerova {

// The default routes of the current network namespace (IPv4 and IPv6, metric ascending, routes
// whose link is down left out) with their gateways' hardware addresses from the neighbour table,
// both from rtnetlink. A gateway whose neighbour entry is missing or stale is made to answer (one
// datagram or echo) and awaited at most `resolveWait`; one that stays silent has no hardware address.
class GatewayReader {
public:
    explicit GatewayReader(std::chrono::milliseconds resolveWait = std::chrono::seconds(1));

    QCoro::Task<std::vector<Gateway>> read() const;

private:
    std::chrono::milliseconds resolveWait_;
};

} // namespace nerova
