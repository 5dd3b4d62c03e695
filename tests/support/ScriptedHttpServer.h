#pragma once

#include <QHash>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <deque>

class QTcpSocket;

namespace nerova::test {

using RawHeaders = QList<QPair<QByteArray, QByteArray>>;

// One request as it arrived on the wire.
struct RecordedRequest {
    QByteArray method;
    QByteArray target; // path and query exactly as sent
    RawHeaders headers;
    QByteArray body;

    QByteArray path() const { return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?')); }
    // Every value of the header `name` (any letter case), in order.
    QList<QByteArray> headerValues(const QByteArray& name) const;
    QByteArray header(const QByteArray& name) const { return headerValues(name).value(0); }
    bool hasHeader(const QByteArray& name) const { return !headerValues(name).isEmpty(); }
};

struct ScriptedResponse {
    int status = 200;
    RawHeaders headers = {};
    QByteArray body = {};
    std::chrono::milliseconds delay = {};
    // When set (and the body is not empty): send the head, then the body one byte at this
    // interval, round and round, until the client goes away.
    std::chrono::milliseconds drip = {};
};

// A loopback HTTP/1.1 server that records every request and answers it with the next scripted
// response, closing the connection. Unscripted requests get status 599, which no test mistakes
// for a real answer.
class ScriptedHttpServer : public QObject {
    Q_OBJECT

public:
    ScriptedHttpServer();

    quint16 port() const { return server_.serverPort(); }
    // A loopback port that nothing listens on, for refused connections.
    static quint16 unusedPort();
    // http://127.0.0.1:<port> followed by `pathAndQuery`.
    QUrl url(const QString& pathAndQuery = QStringLiteral("/")) const;

    void enqueue(ScriptedResponse response) { script_.push_back(std::move(response)); }
    // Answers every request for `path` with `response`; requests for paths without a route get 404.
    void route(const QByteArray& path, ScriptedResponse response) { routes_.insert(path, std::move(response)); }

    const QList<RecordedRequest>& requests() const { return requests_; }

private:
    void accept();
    void answer(QTcpSocket* socket, const RecordedRequest& request);

    QTcpServer server_;
    std::deque<ScriptedResponse> script_;
    QHash<QByteArray, ScriptedResponse> routes_;
    QList<RecordedRequest> requests_;
};

} // namespace nerova::test
