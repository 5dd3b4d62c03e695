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
// one line saying why.
class WirelessReader {
public:
    explicit WirelessReader(QDBusConnection bus);

    QCoro::Task<std::vector<WirelessNetwork>> read() const;

private:
    QDBusConnection bus_;
};

// NetworkManager on `bus` telling of a new active access point (roaming changes no address).
// Nothing when the bus cannot be reached.
std::unique_ptr<NetworkChangeSource> makeWirelessChangeSource(NetworkChangeSource::Trigger trigger,
                                                              QDBusConnection bus);

} // namespace nerova
