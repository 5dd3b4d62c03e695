#pragma once

#include "agent/LockState.h"
#include "network/NetworkContextSource.h"

#include <QUrl>

#include <chrono>

#include <memory>
#include <optional>

namespace nerova {

class Clock;

// The network monitor of this machine: kernel notifications of link and address changes and the
// wake-up after suspend as triggers, the system's interface reader, and the public address looked
// up at `publicIpEndpoint` (never looked up when absent). Tests shorten the quiet period `debounce`.
std::unique_ptr<NetworkContextSource>
makeSystemNetworkMonitor(std::optional<QUrl> publicIpEndpoint,
                         std::chrono::milliseconds debounce = std::chrono::seconds(5));

// The lock and activity monitor of this session: the session's lock signals and the first click
// (or, where clicks cannot be seen, the first activity after idleness) of each day.
std::unique_ptr<LockState> makeSystemLockMonitor(const Clock& clock);

} // namespace nerova
