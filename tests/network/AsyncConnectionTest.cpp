#include "network/AsyncConnection.h"
#include "common/Error.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using namespace nerova;

namespace {

// Treats every connection to `server` the same way.
void serve(QTcpServer& server, const QString& behaviour)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, behaviour] {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            if (behaviour == u"5000 bytes") {
                peer->write(QByteArray(5000, 'x'));
                peer->flush();
            } else if (behaviour == u"late banner") {
                QTimer::singleShot(3000, peer, [peer] { peer->write("late\r\n"); });
            } else if (behaviour == u"close") {
                peer->disconnectFromHost();
            } else if (behaviour == u"reset later") {
                QTimer::singleShot(200, peer, [peer] {
                    const linger abortive{1, 0};
                    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                    peer->close();
                });
            }
        }
    });
}

// The chunks joined, and how the stream ended: "normal" or the error's description.
QCoro::Task<std::pair<QByteArray, QString>> drain(std::shared_ptr<Channel<QByteArray>> stream)
{
    QByteArray chunks;
    try {
        while (const auto chunk = co_await stream->receive()) {
            chunks += *chunk + '|';
        }
        co_return std::pair(chunks, QStringLiteral("normal"));
    } catch (const std::exception& error) {
        co_return std::pair(chunks, describeException(error));
    }
}

} // namespace

class AsyncConnectionTest : public QObject {
    Q_OBJECT

private slots:
    void probes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("server");
        QTest::addColumn<QByteArray>("chunks"); // each followed by "|"
        QTest::addColumn<QString>("end");       // "normal", or the end of the error's description

        QTest::newRow("5000 bytes at once") << "5000 bytes" << QByteArray(1024, 'x') + '|' << "normal";
        QTest::newRow("banner after the window") << "late banner" << QByteArray() << "normal";
        QTest::newRow("orderly close without data") << "close" << QByteArray() << "normal";
        QTest::newRow("reset after accept") << "reset later" << QByteArray() << "readFailed(\"Connection reset by peer\")";
        QTest::newRow("port 0") << "port 0" << QByteArray() << "invalidPort(\"0\")";
        // clang-format on
    }

    void probes()
    {
        QFETCH(QString, server);
        QFETCH(QByteArray, chunks);
        QFETCH(QString, end);

        QTcpServer listener;
        serve(listener, server);
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        const quint16 port = server == u"port 0" ? 0 : listener.serverPort();
        const auto stream = std::make_shared<Channel<QByteArray>>();
        QElapsedTimer clock;
        clock.start();
        AsyncConnection(QStringLiteral("127.0.0.1"), port).connect(stream); // the probe runs on without it
        const auto [received, ended] = QCoro::waitFor(drain(stream));

        QCOMPARE(received, chunks);
        QVERIFY2(end == u"normal" ? ended == end : ended.endsWith(end), qPrintable(ended));
        if (end == u"normal") {
            // Ended by the window, which a chunk does not shorten; coarse timers allow some slack.
            QVERIFY2(clock.elapsed() >= 1500 && clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
        }
    }
};

QTEST_GUILESS_MAIN(AsyncConnectionTest)
#include "AsyncConnectionTest.moc"
