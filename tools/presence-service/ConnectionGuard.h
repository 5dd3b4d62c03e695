#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>

class QTcpSocket;

namespace nerova::presence {

struct ConnectionLimits {
    qint64 maxBodyBytes = 1024 * 1024;            // any request body
    qint64 maxRegistrationBodyBytes = 64 * 1024;  // registration bodies, read before the key is checked
    std::chrono::milliseconds idleTimeout{30000}; // a connection without traffic is closed after this
    int maxConnections = 0;                       // 0: the descriptor limit less a reserve
};

// Watches the bytes of one connection before the HTTP server parses them: request heads are
// checked and bounded (16 KiB), bodies are bounded by their Content-Length before they are read,
// protocol upgrades and malformed requests get one error answer and the connection is closed, and
// a connection that stays idle is closed. It sees each chunk just before the HTTP server reads it
// (it peeks; it is connected to readyRead first) and never consumes data.
class ConnectionGuard : public QObject {
    Q_OBJECT

public:
    static constexpr qsizetype maxHeadBytes = 16 * 1024;

    ConnectionGuard(QTcpSocket* socket, const ConnectionLimits& limits);

    // An answer is held back for this connection; it does not count as idle until released.
    void hold();
    void release();

signals:
    // The guard answered `status` and closes the connection; `path` is empty when unknown.
    void refused(const QString& path, int status, const QString& message);

private:
    void inspect();
    void inspectHead();
    void refuse(int status, const QString& message);
    void idle();

    QTcpSocket* socket_;
    ConnectionLimits limits_;
    QTimer idleTimer_;
    QByteArray head_;
    QString path_;
    qint64 bodyLeft_ = 0;
    int held_ = 0;
    bool closing_ = false;
};

} // namespace nerova::presence
