#pragma once

#include "network/NetworkMonitor.h"

#include <QCoro/QCoroTask>

#include <memory>
#include <vector>

namespace nerova::test {

// Receives every context that a monitor yields into `received`, for QTRY_COMPARE on its size.
// The collector stays suspended (and is never resumed) once the monitor is gone.
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

} // namespace nerova::test
