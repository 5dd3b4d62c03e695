#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <utility>

namespace nerova::test {

// A raw HTTP/1.1 server on 127.0.0.1 with canned answers per path, for tests that need a real
// peer: any status line, any body bytes, redirects, or no answer at all.
class LoopbackHttpServer : public QObject {
    Q_OBJECT

public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
        bool silent = false; // accept the request and never answer
        // Send the head, then the body one byte at a time at this interval, round and round, until
        // the client goes away.
        std::chrono::milliseconds drip{0};
    };

    LoopbackHttpServer();

    void route(const QString& path, Response response);
    QUrl url(const QString& pathAndQuery) const;
    quint16 port() const { return server_.serverPort(); }

    // The head of every request received (request line and header lines), in arrival order.
    const QList<QByteArray>& requests() const { return requests_; }

private:
    void serve(class QTcpSocket* socket);

    QTcpServer server_;
    QHash<QString, Response> routes_;
    QList<QByteArray> requests_;
};

} // namespace nerova::test
