#pragma once

#include <QByteArray>
#include <QHostAddress>

// The few system calls of the TCP probe: a non-blocking connect, one bounded read, and the error
// of a finished connect. Errors are returned as negative errno values.
namespace nerova::tcp {

// A non-blocking TCP socket for the address's family, or -errno.
int open(QAbstractSocket::NetworkLayerProtocol family);
// 0 when connected at once, -EINPROGRESS while connecting (the socket turns writable when done),
// or another -errno.
int startConnect(int descriptor, const QHostAddress& address, quint16 port);
// The outcome of a connect that was in progress: 0 or the errno value.
int connectResult(int descriptor);
// Reads at most `buffer.size()` bytes and truncates `buffer` to what arrived; the count, 0 at an
// orderly end of the stream, or -errno.
qint64 receive(int descriptor, QByteArray& buffer);
void close(int descriptor);

} // namespace nerova::tcp
