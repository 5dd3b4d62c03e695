#include "network/IcmpSocketApi.h"
#include "platform/linux/SocketCalls_linux.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace nerova {

namespace {

constexpr qsizetype maximumDatagram = 65535;

// Raw ICMP sockets receive every ICMP message addressed to the host; only echo replies are wanted.
int passOnlyEchoReplies(int descriptor, int family)
{
    if (family == AF_INET) {
        icmp_filter filter{};
        filter.data = ~(1U << ICMP_ECHOREPLY);
        return ::setsockopt(descriptor, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    icmp6_filter filter{};
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    return ::setsockopt(descriptor, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
}

// "1 0" style text of net.ipv4.ping_group_range, parsed; nothing when unreadable.
std::optional<std::pair<qint64, qint64>> pingGroupRange()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ping_group_range"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QList<QByteArray> parts = file.readAll().simplified().split(' ');
    bool lowOk = false;
    bool highOk = false;
    if (parts.size() != 2) {
        return std::nullopt;
    }
    const qint64 low = parts[0].toLongLong(&lowOk);
    const qint64 high = parts[1].toLongLong(&highOk);
    if (!lowOk || !highOk) {
        return std::nullopt;
    }
    return std::pair{low, high};
}

class SystemIcmpSocketApi final : public IcmpSocketApi {
public:
    int open(QAbstractSocket::NetworkLayerProtocol family, IcmpSocketKind kind) override
    {
        const int domain = family == QAbstractSocket::IPv4Protocol ? AF_INET : AF_INET6;
        const int protocol = domain == AF_INET ? int(IPPROTO_ICMP) : int(IPPROTO_ICMPV6);
        const int type = (kind == IcmpSocketKind::raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
        const int descriptor = ::socket(domain, type, protocol);
        if (descriptor < 0) {
            return -errno;
        }
        if (kind == IcmpSocketKind::raw && passOnlyEchoReplies(descriptor, domain) != 0) {
            const int error = errno;
            ::close(descriptor);
            return -error;
        }
        return descriptor;
    }

    int connect(int descriptor, const QHostAddress& address) override
    {
        sockaddr_storage storage;
        const socklen_t length = toSocketAddress(address, 0, storage);
        return ::connect(descriptor, reinterpret_cast<sockaddr*>(&storage), length) == 0 ? 0 : -errno;
    }

    std::optional<quint16> localIdentifier(int descriptor) override
    {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
            return std::nullopt;
        }
        if (storage.ss_family == AF_INET) {
            return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
        }
        if (storage.ss_family == AF_INET6) {
            return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
        }
        return std::nullopt;
    }

    qint64 send(int descriptor, QByteArrayView packet) override
    {
        ssize_t sent;
        do {
            sent = ::send(descriptor, packet.data(), size_t(packet.size()), 0);
        } while (sent < 0 && errno == EINTR);
        return sent < 0 ? -errno : sent;
    }

    qint64 receive(int descriptor, QByteArray& buffer) override
    {
        buffer.resize(maximumDatagram);
        return receiveOnce(descriptor, buffer);
    }

    void close(int descriptor) override { ::close(descriptor); }

    QString refusalReason() override
    {
        QString range = QStringLiteral("unreadable");
        QString verdict = QStringLiteral("which does not include the groups of this process");
        if (const auto bounds = pingGroupRange()) {
            range = QStringLiteral("\"%1 %2\"").arg(bounds->first).arg(bounds->second);
            if (bounds->first > bounds->second) {
                verdict = QStringLiteral("which allows no group at all");
            }
        }
        std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
        groups.resize(size_t(std::max(::getgroups(int(groups.size()), groups.data()), 0)));
        QStringList groupTexts{QString::number(::getegid())};
        for (const gid_t group : groups) {
            if (!groupTexts.contains(QString::number(group))) {
                groupTexts.append(QString::number(group));
            }
        }
        return QStringLiteral("ICMP datagram sockets are not permitted: net.ipv4.ping_group_range is %1, %2 "
                              "(groups %3); raw ICMP sockets need CAP_NET_RAW, which this process lacks")
            .arg(range, verdict, groupTexts.join(u','));
    }
};

} // namespace

std::shared_ptr<IcmpSocketApi> systemIcmpSocketApi()
{
    static const auto api = std::make_shared<SystemIcmpSocketApi>();
    return api;
}

} // namespace nerova
