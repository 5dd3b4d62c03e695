#pragma once

#include <functional>
#include <memory>

namespace nerova {

// Something that tells the network monitor that the network may have changed: the kernel's link
// and address notifications, the wake-up after suspend. It calls its trigger on the main thread
// while it lives; destroying it stops the notifications.
class NetworkChangeSource {
public:
    using Trigger = std::function<void()>;
    virtual ~NetworkChangeSource() = default;
};

// Link, IPv4-address and IPv6-address changes of the current network namespace, from a netlink
// socket. Nothing when the socket cannot be opened (the reason is logged once).
std::unique_ptr<NetworkChangeSource> makeNetlinkChangeSource(NetworkChangeSource::Trigger trigger);

// The machine waking up from suspend (logind's PrepareForSleep(false) on the system bus). Nothing
// when the system bus cannot be reached.
std::unique_ptr<NetworkChangeSource> makeResumeChangeSource(NetworkChangeSource::Trigger trigger);

} // namespace nerova
