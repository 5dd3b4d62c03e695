#pragma once

#include "network/NetworkMonitor.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>

#include <memory>
#include <vector>

namespace nerova::test {

// Receives every context that a monitor yields into `received`, for QTRY_COMPARE on its size,
// until stopCollecting.
inline QCoro::Task<> collectContexts(NetworkMonitor& monitor, std::shared_ptr<std::vector<NetworkContext>> received)
{
    Channel<NetworkContext>& sequence = monitor.networkContextSequence();
    while (true) {
        std::optional<NetworkContext> context = co_await sequence.receive();
        if (!context) {
            co_return;
        }
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
