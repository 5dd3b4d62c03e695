#include "support/ScriptedHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace nerova::test {

namespace {

// Takes one complete request from the front of `buffer`; false while more bytes are needed.
bool takeRequest(QByteArray& buffer, RecordedRequest& request)
{
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request = {requestLine.value(0), requestLine.value(1), {}, {}};
    for (const QByteArray& line : lines.mid(1)) {
        if (const qsizetype colon = line.indexOf(':'); colon > 0) {
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
    }
    const qsizetype length = request.header("content-length").toLongLong();
    if (buffer.size() < headerEnd + 4 + length) {
        return false;
    }
    request.body = buffer.mid(headerEnd + 4, length);
    buffer.remove(0, headerEnd + 4 + length);
    return true;
}

} // namespace

QList<QByteArray> RecordedRequest::headerValues(const QByteArray& name) const
{
    QList<QByteArray> values;
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            values.append(value);
        }
    }
    return values;
}

ScriptedHttpServer::ScriptedHttpServer()
{
    connect(&server_, &QTcpServer::newConnection, this, &ScriptedHttpServer::accept);
    if (!server_.listen(QHostAddress::LocalHost)) {
        qFatal("scripted server cannot listen: %s", qPrintable(server_.errorString()));
    }
}

quint16 ScriptedHttpServer::unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

QUrl ScriptedHttpServer::url(const QString& pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(pathAndQuery));
}

void ScriptedHttpServer::accept()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (RecordedRequest request; takeRequest(*buffer, request)) {
                requests_.append(request);
                answer(socket, request);
            }
        });
    }
}

void ScriptedHttpServer::answer(QTcpSocket* socket, const RecordedRequest& request)
{
    ScriptedResponse response{599, {}, "no scripted response"};
    if (!routes_.isEmpty()) {
        response = routes_.value(request.path(), ScriptedResponse{404, {}, "not found"});
    } else if (!script_.empty()) {
        response = std::move(script_.front());
        script_.pop_front();
    }
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
    for (const auto& [name, value] : response.headers) {
        bytes += name + ": " + value + "\r\n";
    }
    if (response.drip > std::chrono::milliseconds(0) && !response.body.isEmpty()) {
        socket->write(bytes + "Connection: close\r\n\r\n");
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, body = response.body, next = qsizetype(0)]() mutable {
            socket->write(body.mid(next, 1));
            next = (next + 1) % body.size();
        });
        timer->start(response.drip);
        return;
    }
    if (response.status != 204 && response.status != 304) {
        bytes += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    bytes += "Connection: close\r\n\r\n" + response.body;
    QTimer::singleShot(response.delay, this, [target = QPointer<QTcpSocket>(socket), bytes] {
        if (target) {
            target->write(bytes);
            target->disconnectFromHost();
        }
    });
}

} // namespace nerova::test
