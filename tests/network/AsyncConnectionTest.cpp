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

// A local server that treats every connection the same way; "silence" keeps it open and says nothing.
class TestServer : public QTcpServer {
public:
    explicit TestServer(QString behaviour)
    {
        QObject::connect(this, &QTcpServer::newConnection, this, [this, behaviour] {
            while (QTcpSocket* peer = nextPendingConnection()) {
                peer->setParent(this);
                if (behaviour == u"banner" || behaviour == u"5000 bytes") {
                    peer->write(behaviour == u"banner" ? QByteArray("SSH-2.0-Test\r\n") : QByteArray(5000, 'x'));
                    peer->flush();
                } else if (behaviour == u"late banner") {
                    QTimer::singleShot(3000, peer, [peer] { peer->write("late\r\n"); });
                } else if (behaviour == u"close") {
                    peer->disconnectFromHost();
                } else if (behaviour == u"reset") {
                    reset(peer);
                } else if (behaviour == u"reset later") {
                    QTimer::singleShot(200, peer, [peer] { reset(peer); });
                }
            }
        });
    }

private:
    static void reset(QTcpSocket* peer)
    {
        const linger abortive{1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        peer->close();
    }
};

struct StreamResult {
    QList<QByteArray> chunks;
    QString end; // "normal" or the error's description
    qint64 milliseconds = 0;
};

QCoro::Task<StreamResult> drain(std::shared_ptr<Channel<QByteArray>> stream)
{
    StreamResult result;
    QElapsedTimer clock;
    clock.start();
    try {
        while (const auto chunk = co_await stream->receive()) {
            result.chunks.append(*chunk);
        }
        result.end = QStringLiteral("normal");
    } catch (const std::exception& error) {
        result.end = describeException(error);
    }
    result.milliseconds = clock.elapsed();
    co_return result;
}

} // namespace

class AsyncConnectionTest : public QObject {
    Q_OBJECT

private slots:
    void probes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("server");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QString>("end");     // "normal", or the end of the error's description

        const QList<QByteArray> nothing;
        QTest::newRow("banner at once") << "banner" << QList<QByteArray>{"SSH-2.0-Test\r\n"} << "normal";
        QTest::newRow("5000 bytes at once") << "5000 bytes" << QList<QByteArray>{QByteArray(1024, 'x')} << "normal";
        QTest::newRow("silence") << "silence" << nothing << "normal";
        QTest::newRow("banner after the window") << "late banner" << nothing << "normal";
        QTest::newRow("orderly close without data") << "close" << nothing << "normal";
        // On loopback the reset may come before the connect is seen to complete, so either the connection or the read fails.
        QTest::newRow("reset at once after accept") << "reset" << nothing << "Failed(\"Connection reset by peer\")";
        QTest::newRow("reset after accept") << "reset later" << nothing << "readFailed(\"Connection reset by peer\")";
        QTest::newRow("refused port") << "refused" << nothing << "connectionFailed(\"Connection refused\")";
        QTest::newRow("port 0") << "port 0" << nothing << "invalidPort(\"0\")";
        // clang-format on
    }

    void probes()
    {
        QFETCH(QString, server);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QString, end);

        TestServer listener(server);
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        const quint16 port = server == u"port 0" ? 0 : listener.serverPort();
        if (server == u"refused") {
            listener.close();
        }
        const auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection(QStringLiteral("127.0.0.1"), port)
            .connect(stream); // the probe runs on without its AsyncConnection
        const StreamResult result = QCoro::waitFor(drain(stream));

        QCOMPARE(result.chunks, chunks);
        QVERIFY2(end == u"normal" ? result.end == end : result.end.endsWith(end), qPrintable(result.end));
        if (end == u"normal") {
            // Ended by the window, which a chunk does not shorten; coarse timers allow some slack.
            QVERIFY2(result.milliseconds >= 1500 && result.milliseconds < 15000,
                     qPrintable(QString::number(result.milliseconds)));
        }
    }
};

QTEST_GUILESS_MAIN(AsyncConnectionTest)
#include "AsyncConnectionTest.moc"
