#include "support/LoopbackHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

namespace nerova::test {

LoopbackHttpServer::LoopbackHttpServer()
{
    if (!server_.listen(QHostAddress::LocalHost)) {
        qFatal("cannot listen on loopback: %s", qPrintable(server_.errorString()));
    }
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
}

void LoopbackHttpServer::route(const QString& path, Response response) { routes_.insert(path, std::move(response)); }

QUrl LoopbackHttpServer::url(const QString& pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(pathAndQuery));
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("buffered", buffered);
        return;
    }
    const QByteArray head = buffered.left(end);
    socket->setProperty("buffered", QByteArray());
    requests_.append(head);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString target = requestLine.size() >= 2 ? QString::fromUtf8(requestLine[1]) : QString();
    const QString path = target.section(u'?', 0, 0);
    const auto it = routes_.constFind(path);
    const Response response = it != routes_.cend() ? *it : Response{404, "not found", {}, false};
    if (response.silent) {
        return;
    }
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
    for (const auto& [name, value] : response.headers) {
        answer += name + ": " + value + "\r\n";
    }
    if (response.drip > std::chrono::milliseconds(0) && !response.body.isEmpty()) {
        socket->write(answer + "Connection: close\r\n\r\n");
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, body = response.body, next = qsizetype(0)]() mutable {
            socket->write(body.mid(next, 1));
            next = (next + 1) % body.size();
        });
        timer->start(response.drip);
        return;
    }
    answer += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n";
    answer += response.body;
    socket->write(answer);
    socket->disconnectFromHost();
}

} // namespace nerova::test
