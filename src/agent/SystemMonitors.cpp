#include "agent/SystemMonitors.h"

#include "agent/LockMonitor.h"
#include "network/NetworkMonitor.h"
#include "service/PublicIPClient.h"

namespace nerova {

namespace {

// A coroutine of its own, taking the URL by value: the lookup keeps what it needs in its frame
// and so outlives the function object that started it.
QCoro::Task<std::optional<QString>> lookUpPublicIp(QUrl endpoint)
{
    const PublicIPClient client(std::move(endpoint));
    std::optional<QString> address = co_await client.fetchPublicIP();
    co_return address;
}

} // namespace

std::unique_ptr<NetworkContextSource> makeSystemNetworkMonitor(std::optional<QUrl> publicIpEndpoint,
                                                               std::chrono::milliseconds debounce)
{
    NetworkMonitor::PublicIpLookup lookup;
    if (publicIpEndpoint) {
        lookup = [endpoint = *publicIpEndpoint] { return lookUpPublicIp(endpoint); };
    }
    return std::make_unique<NetworkMonitor>(makeSystemNetworkReader(), std::move(lookup),
                                            makeSystemNetworkChangeSources, debounce);
}

std::unique_ptr<LockState> makeSystemLockMonitor(const Clock& clock)
{
    return std::make_unique<LockMonitor>(clock, makeSystemLockEventSources());
}

} // namespace nerova
