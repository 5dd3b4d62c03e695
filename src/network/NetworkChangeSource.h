#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace nerova {

// Something that tells the network monitor that the network may have changed: the kernel's link
// and address notifications, the wake-up after suspend. It calls its trigger on the main thread
// while it lives; destroying it stops the notifications.
class NetworkChangeSource {
public:
    using Trigger = std::function<void()>;
    virtual ~NetworkChangeSource() = default;
};

// Every source of this system that tells of a possible change of the network (on Linux: the
// kernel's link and address notifications and the wake-up after suspend). Sources that cannot be
// had are left out; each says why once.
std::vector<std::unique_ptr<NetworkChangeSource>> makeSystemNetworkChangeSources(NetworkChangeSource::Trigger trigger);

} // namespace nerova
