#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>

#include <memory>
#include <optional>

namespace nerova {

// The two kinds of ICMP socket: datagram sockets need no privilege where the system allows them
// (net.ipv4.ping_group_range on Linux), raw sockets need CAP_NET_RAW.
enum class IcmpSocketKind { datagram, raw };

// The operating system's ICMP sockets, reduced to what the echo engine needs, so that tests can
// replace them. Errors are returned as negative errno values.
class IcmpSocketApi {
public:
    virtual ~IcmpSocketApi() = default;

    // A non-blocking ICMP (IPv4) or ICMPv6 (IPv6) socket of the given kind, or -errno. Raw
    // sockets let only echo replies through.
    virtual int open(QAbstractSocket::NetworkLayerProtocol family, IcmpSocketKind kind) = 0;
    // 0 or -errno.
    virtual int connect(int descriptor, const QHostAddress& address) = 0;
    // The identifier that the system writes into the echo requests of a connected datagram
    // socket and by which it routes replies to it (the socket's local port).
    virtual std::optional<quint16> localIdentifier(int descriptor) = 0;
    // Bytes sent, or -errno.
    virtual qint64 send(int descriptor, QByteArrayView packet) = 0;
    // Receives one datagram into `buffer` (resized to what arrived); bytes received, or -errno.
    virtual qint64 receive(int descriptor, QByteArray& buffer) = 0;
    virtual void close(int descriptor) = 0;
    // Why this process may open neither kind of ICMP socket.
    virtual QString refusalReason() = 0;
};

// The real sockets of this system.
std::shared_ptr<IcmpSocketApi> systemIcmpSocketApi();

} // namespace nerova
