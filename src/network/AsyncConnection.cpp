#include "network/AsyncConnection.h"

#include "network/AsyncConnectionError.h"
#include "network/SocketStatus.h"

#include <QTcpSocket>
#include <QTimer>

namespace nerova {

namespace {

// One probe in flight: the socket, the deadline and the channel. It deletes itself once the
// stream has ended.
class ConnectionProbe : public QObject {
public:
    ConnectionProbe(const QString& host, quint16 port, Logger logger, std::shared_ptr<Channel<QByteArray>> channel)
        : host_(host), port_(port), logger_(std::move(logger)), channel_(std::move(channel))
    {
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, this, [this] { end(); });
        QObject::connect(&socket_, &QTcpSocket::connected, this,
                         [this] { logger_.debug("Connected to %s:%hu", host_, port_); });
        QObject::connect(&socket_, &QTcpSocket::readyRead, this, [this] { readOnce(); });
        QObject::connect(&socket_, &QTcpSocket::errorOccurred, this,
                         [this](QAbstractSocket::SocketError error) { socketFailed(error); });
        deadline_.start(AsyncConnection::window);
        // Unbuffered: the read below goes to the socket itself, so that a reset can be told
        // from an orderly close before Qt closes the descriptor.
        socket_.connectToHost(host_, port_, QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

private:
    void readOnce()
    {
        if (readDone_ || ended_) {
            return;
        }
        if (socket_.bytesAvailable() == 0) {
            if (const int error = takePendingSocketError(socket_.socketDescriptor())) {
                readDone_ = true;
                end(AsyncConnectionError(AsyncConnectionError::Case::readFailed, qt_error_string(error)));
                return;
            }
        }
        QByteArray chunk(AsyncConnection::maximumRead, '\0');
        const qint64 count = socket_.read(chunk.data(), chunk.size());
        if (count == 0) {
            return; // nothing yet
        }
        readDone_ = true;
        if (count > 0) {
            chunk.truncate(count);
            channel_->send(chunk);
        }
        // count < 0: the peer closed the connection without sending anything.
    }

    void socketFailed(QAbstractSocket::SocketError error)
    {
        if (ended_ || error == QAbstractSocket::RemoteHostClosedError) {
            return; // an orderly close: no more data, the window still runs
        }
        const QString message = socket_.errorString();
        logger_.debug("Connection failed: %s", message);
        end(AsyncConnectionError(AsyncConnectionError::Case::connectionFailed, message));
    }

    void end(std::optional<AsyncConnectionError> error = std::nullopt)
    {
        if (ended_) {
            return;
        }
        ended_ = true;
        deadline_.stop();
        if (error) {
            channel_->fail(std::make_exception_ptr(*error));
        } else {
            channel_->finish();
        }
        socket_.disconnect(this);
        socket_.abort();
        deleteLater();
    }

    QString host_;
    quint16 port_;
    Logger logger_;
    std::shared_ptr<Channel<QByteArray>> channel_;
    QTcpSocket socket_;
    QTimer deadline_;
    bool readDone_ = false;
    bool ended_ = false;
};

} // namespace

AsyncConnection::AsyncConnection(QString host, quint16 port, Logger logger)
    : host_(std::move(host)), port_(port), logger_(std::move(logger))
{
}

void AsyncConnection::connect(std::shared_ptr<Channel<QByteArray>> continuation)
{
    if (port_ == 0) {
        continuation->fail(std::make_exception_ptr(
            AsyncConnectionError(AsyncConnectionError::Case::invalidPort, QStringLiteral("0"))));
        return;
    }
    new ConnectionProbe(host_, port_, logger_, std::move(continuation));
}

} // namespace nerova
