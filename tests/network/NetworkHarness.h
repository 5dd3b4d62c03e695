#pragma once

#include "network/NetworkMonitor.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QTest>

namespace nerova::test {

// Receives every context that a monitor yields into `received`, until stopCollecting.
inline QCoro::Task<> collectContexts(NetworkMonitor& monitor, std::shared_ptr<std::vector<NetworkContext>> received)
{
    while (std::optional<NetworkContext> context = co_await monitor.networkContextSequence().receive()) {
        received->push_back(std::move(*context));
    }
}

// Ends the monitor's stream and lets the collector finish, then lets the monitor (and its stream) go.
inline void stopCollecting(std::unique_ptr<NetworkMonitor>& monitor)
{
    if (monitor) {
        monitor->networkContextSequence().finish();
        QCoreApplication::processEvents();
    }
    monitor.reset();
}

// Waits until `received` holds `contexts`, and three quiet periods more for a further (wrong) one to show.
inline void settles(const std::vector<NetworkContext>& received, std::size_t contexts, std::chrono::milliseconds quiet)
{
    QTRY_COMPARE(received.size(), contexts);
    QTest::qWait(int(3 * quiet.count()));
    QCOMPARE(received.size(), contexts);
}

} // namespace nerova::test
