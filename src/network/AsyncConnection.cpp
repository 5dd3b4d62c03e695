#include "network/AsyncConnection.h"

#include "network/AsyncConnectionError.h"
#include "network/HostLookup.h"
#include "network/TcpSocket.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>

namespace nerova {

namespace {

Q_LOGGING_CATEGORY(lcAsyncConnection, "nerova.AsyncConnection", QtInfoMsg)

// One probe in flight: resolution, a non-blocking connect over the resolved addresses in turn,
// one read, and the deadline. It deletes itself once the stream has ended.
//
// The socket is driven directly rather than through QTcpSocket, which cannot tell a reset from
// an orderly close and, when a reset arrives while the connect completes, silently connects
// again and again.
class ConnectionProbe : public QObject {
public:
    ConnectionProbe(const QString& host, quint16 port, std::shared_ptr<Channel<QByteArray>> channel,
                    const CancellationToken& cancellation)
        : host_(host), port_(port), channel_(std::move(channel))
    {
        deadline_.setSingleShot(true);
        deadline_.setTimerType(Qt::PreciseTimer); // a coarse timer may close the window up to 5 % late
        QObject::connect(&deadline_, &QTimer::timeout, this, [this] { end(); });
        deadline_.start(AsyncConnection::window);
        lookupId_ = lookupHost(host_, this, [this](const QHostInfo& info) {
            if (lookupId_ < 0) {
                return; // the window closed meanwhile
            }
            lookupId_ = -1;
            resolved(info);
        });
        cancelled_ = cancellation.onCancel([this] { end(std::make_exception_ptr(OperationCancelled())); });
    }

    ~ConnectionProbe() override { closeSocket(); }

private:
    void resolved(const QHostInfo& info)
    {
        if (info.error() != QHostInfo::NoError) {
            connectionFailed(info.errorString());
            return;
        }
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol ||
                address.protocol() == QAbstractSocket::IPv6Protocol) {
                addresses_.append(address);
            }
        }
        lastError_ = QStringLiteral("no IPv4 or IPv6 address for %1").arg(host_);
        connectNext();
    }

    // Tries the remaining addresses in order until one accepts.
    void connectNext()
    {
        while (!addresses_.isEmpty()) {
            const QHostAddress address = addresses_.takeFirst();
            const int descriptor = tcp::open(address.protocol());
            if (descriptor < 0) {
                lastError_ = qt_error_string(-descriptor);
                continue;
            }
            socket_ = descriptor;
            const int result = tcp::startConnect(socket_, address, port_);
            if (result == 0) {
                connected();
                return;
            }
            if (result == -EINPROGRESS) {
                notifier_ = watch(QSocketNotifier::Write, [this] { connectDone(); });
                return;
            }
            lastError_ = qt_error_string(-result);
            closeSocket();
        }
        connectionFailed(lastError_);
    }

    void connectDone()
    {
        const int error = tcp::connectResult(socket_);
        if (error != 0) {
            lastError_ = qt_error_string(error);
            closeSocket();
            connectNext();
            return;
        }
        closeNotifier();
        connected();
    }

    void connected()
    {
        qCDebug(lcAsyncConnection, "Connected to %s:%hu", qUtf8Printable(host_), port_);
        notifier_ = watch(QSocketNotifier::Read, [this] { readOnce(); });
    }

    // The one read: a chunk, nothing at an orderly end of the stream, or the read's error.
    void readOnce()
    {
        QByteArray chunk(AsyncConnection::maximumRead, '\0');
        const qint64 count = tcp::receive(socket_, chunk);
        if (count == -EAGAIN || count == -EWOULDBLOCK) {
            return;
        }
        closeNotifier(); // no second read; the connection stays open until the window closes
        if (count > 0) {
            channel_->send(chunk);
        } else if (count < 0) {
            end(std::make_exception_ptr(
                AsyncConnectionError(AsyncConnectionError::Case::readFailed, qt_error_string(int(-count)))));
        }
    }

    void connectionFailed(const QString& message)
    {
        qCDebug(lcAsyncConnection, "Connection failed: %s", qUtf8Printable(message));
        end(std::make_exception_ptr(AsyncConnectionError(AsyncConnectionError::Case::connectionFailed, message)));
    }

    // The window's close, a failure, or a cancellation.
    void end(std::exception_ptr error = nullptr)
    {
        if (ended_) {
            return;
        }
        ended_ = true;
        cancelled_.reset();
        deadline_.stop();
        if (lookupId_ >= 0) {
            abortHostLookup(lookupId_);
            lookupId_ = -1;
        }
        closeSocket();
        if (error) {
            channel_->fail(std::move(error));
        } else {
            channel_->finish();
        }
        deleteLater();
    }

    template <typename Handler>
    QSocketNotifier* watch(QSocketNotifier::Type type, Handler handler)
    {
        auto* notifier = new QSocketNotifier(socket_, type, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, handler);
        return notifier;
    }

    // Handlers run inside the notifier's signal, so the notifier is deleted by the event loop.
    void closeNotifier()
    {
        if (notifier_) {
            notifier_->setEnabled(false);
            notifier_->disconnect(this);
            notifier_->deleteLater();
            notifier_ = nullptr;
        }
    }

    void closeSocket()
    {
        closeNotifier();
        if (socket_ >= 0) {
            tcp::close(socket_);
            socket_ = -1;
        }
    }

    QString host_;
    quint16 port_;
    std::shared_ptr<Channel<QByteArray>> channel_;
    QTimer deadline_;
    int lookupId_ = -1;
    QList<QHostAddress> addresses_;
    QString lastError_;
    int socket_ = -1;
    QSocketNotifier* notifier_ = nullptr; // a child of the probe
    bool ended_ = false;
    CancellationToken::Registration cancelled_;
};

} // namespace

AsyncConnection::AsyncConnection(QString host, quint16 port) : host_(std::move(host)), port_(port) {}

void AsyncConnection::connect(std::shared_ptr<Channel<QByteArray>> continuation, CancellationToken cancellation)
{
    if (cancellation.isCancelled()) {
        continuation->fail(std::make_exception_ptr(OperationCancelled()));
        return;
    }
    if (port_ == 0) {
        continuation->fail(std::make_exception_ptr(
            AsyncConnectionError(AsyncConnectionError::Case::invalidPort, QStringLiteral("0"))));
        return;
    }
    new ConnectionProbe(host_, port_, std::move(continuation), cancellation);
}

} // namespace nerova
