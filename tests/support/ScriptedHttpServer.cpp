#include "support/ScriptedHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace nerova::test {

namespace {

// Parses one complete request from the front of `buffer`; false while more bytes are needed.
bool takeRequest(QByteArray& buffer, RecordedRequest& request)
{
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request = {};
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            continue;
        }
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.append({name, value});
        if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            contentLength = value.toLongLong();
        }
    }
    const qsizetype bodyStart = headerEnd + 4;
    if (buffer.size() < bodyStart + contentLength) {
        return false;
    }
    request.body = buffer.mid(bodyStart, contentLength);
    buffer.remove(0, bodyStart + contentLength);
    return true;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 412: return "Precondition Failed";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

QByteArray RecordedRequest::path() const
{
    return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
}

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

QByteArray RecordedRequest::header(const QByteArray& name) const { return headerValues(name).value(0); }

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
            RecordedRequest request;
            if (takeRequest(*buffer, request)) {
                requests_.append(request);
                answer(socket, request);
            }
        });
    }
}

void ScriptedHttpServer::answer(QTcpSocket* socket, const RecordedRequest& request)
{
    ScriptedResponse response;
    if (handler_) {
        response = handler_(request);
    } else if (!routes_.isEmpty()) {
        response = routes_.value(request.path(), ScriptedResponse{404, {}, "not found"});
    } else if (!script_.empty()) {
        response = std::move(script_.front());
        script_.pop_front();
    } else {
        response.status = 599;
        response.body = "no scripted response";
    }
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
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

    QPointer<QTcpSocket> target(socket);
    QTimer::singleShot(response.delay, this, [target, bytes] {
        if (target) {
            target->write(bytes);
            target->disconnectFromHost();
        }
    });
}

} // namespace nerova::test
