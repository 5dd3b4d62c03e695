#pragma once

#include "network/NetworkMonitor.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>

#include <memory>
#include <vector>

namespace nerova::test {

// Receives every context that a monitor yields into `received`, until stopCollecting.
inline QCoro::Task<> collectContexts(NetworkMonitor& monitor, std::shared_ptr<std::vector<NetworkContext>> received)
{
    while (std::optional<NetworkContext> context = co_await monitor.networkContextSequence().receive()) {
        received->push_back(std::move(*context));
    }
}

// Ends the monitor's stream and lets the collector finish, before the monitor (and its stream) go.
inline void stopCollecting(NetworkMonitor& monitor)
{
    monitor.networkContextSequence().finish();
    QCoreApplication::processEvents();
}

} // namespace nerova::test
