#include "network/NetworkMonitorLogging.h"
#include "platform/linux/PeripheralReader_linux.h"
#include "platform/linux/SystemSources_linux.h"
#include "platform/linux/WirelessReader_linux.h"

#include <QDBusConnection>

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nerova {

namespace {

// A netlink socket subscribed to the link and address groups of rtnetlink. Every link or address
// message, and every overrun of the socket's buffer (messages were lost), calls the trigger.
class NetlinkChangeSource final : public NetworkChangeSource {
public:
    NetlinkChangeSource(int socket, Trigger trigger)
        : socket_(socket), trigger_(std::move(trigger)), notifier_(socket, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readMessages(); });
    }

    ~NetlinkChangeSource() override
    {
        notifier_.setEnabled(false);
        ::close(socket_);
    }

private:
    void readMessages()
    {
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            const ssize_t length = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (length < 0) {
                if (errno == ENOBUFS) {
                    trigger_(); // the kernel dropped messages: something changed
                    continue;
                }
                return; // EAGAIN: drained; anything else: wait for the next notification
            }
            if (length == 0) {
                return;
            }
            int remaining = static_cast<int>(length);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                switch (header->nlmsg_type) {
                case RTM_NEWLINK:
                case RTM_DELLINK:
                case RTM_NEWADDR:
                case RTM_DELADDR: trigger_(); break;
                default: break;
                }
            }
        }
    }

    int socket_;
    Trigger trigger_;
    QSocketNotifier notifier_;
};

} // namespace

std::unique_ptr<NetworkChangeSource> makeNetlinkChangeSource(NetworkChangeSource::Trigger trigger)
{
    const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0) {
        qCWarning(lcNetworkMonitor, "Cannot open a netlink socket (%s): network changes are not noticed",
                  std::strerror(errno));
        return nullptr;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        qCWarning(lcNetworkMonitor, "Cannot subscribe to netlink notifications (%s): network changes are not noticed",
                  std::strerror(errno));
        ::close(socket);
        return nullptr;
    }
    return std::make_unique<NetlinkChangeSource>(socket, std::move(trigger));
}

std::vector<std::unique_ptr<NetworkChangeSource>> makeSystemNetworkChangeSources(NetworkChangeSource::Trigger trigger)
{
    std::vector<std::unique_ptr<NetworkChangeSource>> sources;
    if (auto netlink = makeNetlinkChangeSource(trigger)) {
        sources.push_back(std::move(netlink));
    }
    if (auto resume = makeResumeChangeSource(trigger)) {
        sources.push_back(std::move(resume));
    }
    if (auto wireless = makeWirelessChangeSource(trigger, QDBusConnection::systemBus())) {
        sources.push_back(std::move(wireless));
    }
    if (auto peripherals = makePeripheralChangeSource(trigger)) {
        sources.push_back(std::move(peripherals));
    }
    return sources;
}

} // namespace nerova
