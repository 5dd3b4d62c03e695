#include "network/TcpSocket.h"

#include "platform/linux/SocketCalls_linux.h"

#include <cerrno>
#include <unistd.h>

namespace nerova::tcp {

int open(QAbstractSocket::NetworkLayerProtocol family)
{
    const int domain = family == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    const int descriptor = ::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    return descriptor < 0 ? -errno : descriptor;
}

int startConnect(int descriptor, const QHostAddress& address, quint16 port)
{
    sockaddr_storage storage;
    const socklen_t length = toSocketAddress(address, port, storage);
    if (length == 0) {
        return -EAFNOSUPPORT;
    }
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&storage), length) == 0) {
        return 0;
    }
    return errno == EINTR ? -EINPROGRESS : -errno; // an interrupted connect goes on in the background
}

int connectResult(int descriptor)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

qint64 receive(int descriptor, QByteArray& buffer) { return receiveOnce(descriptor, buffer); }

void close(int descriptor) { ::close(descriptor); }

} // namespace nerova::tcp
