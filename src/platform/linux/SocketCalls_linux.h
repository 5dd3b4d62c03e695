#pragma once

#include <QHostAddress>
#include <QNetworkInterface>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

// Socket helpers shared by the ICMP and TCP code.

namespace nerova {

// `address` and `port` as a socket address; yields its length (0 unless IPv4 or IPv6).
inline socklen_t toSocketAddress(const QHostAddress& address, quint16 port, sockaddr_storage& storage)
{
    storage = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof(sockaddr_in);
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        if (const QString scope = address.scopeId(); !scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            in6->sin6_scope_id = numeric ? index : uint(QNetworkInterface::interfaceIndexFromName(scope));
        }
        return sizeof(sockaddr_in6);
    }
    return 0;
}

// One recv() into `buffer`, which is truncated to what arrived; the count, or -errno.
inline qint64 receiveOnce(int descriptor, QByteArray& buffer)
{
    ssize_t received;
    do {
        received = ::recv(descriptor, buffer.data(), size_t(buffer.size()), 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        const int error = errno;
        buffer.clear();
        return -error;
    }
    buffer.truncate(received);
    return received;
}

} // namespace nerova
