#pragma once

#include "network/NetworkChangeSource.h"
#include "network/NetworkContext.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>

#include <memory>
#include <vector>

namespace nerova {

// The connected Wi-Fi interfaces and their access points, from NetworkManager's properties on
// `bus` (readable by every user; no scan is started). Without NetworkManager: an empty list, and
// one line saying why (once, until NetworkManager answers again).
class WirelessReader {
public:
    explicit WirelessReader(QDBusConnection bus);

    // Never blocks: every call on the bus is asynchronous, and one read takes at most about a second.
    QCoro::Task<std::vector<WirelessNetwork>> read() const;

private:
    struct State;
    // Shared with the reads still running, so that they may outlive the reader.
    std::shared_ptr<State> state_;
};

// NetworkManager on `bus` telling of a new active access point (roaming changes no address), and
// NetworkManager appearing on or leaving the bus. Nothing when the bus cannot be reached.
std::unique_ptr<NetworkChangeSource> makeWirelessChangeSource(NetworkChangeSource::Trigger trigger,
                                                              QDBusConnection bus);

} // namespace nerova
