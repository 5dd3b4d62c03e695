#include "network/AsyncConnection.h"
#include "common/CaptureLogSink.h"
#include "common/Error.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using namespace nerova;

namespace {

// A local server that treats every connection the same way.
class TestServer : public QTcpServer {
public:
    explicit TestServer(QString behaviour)
        : behaviour_(std::move(behaviour))
    {
        setMaxPendingConnections(1000);
        QObject::connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* peer = nextPendingConnection()) {
                peer->setParent(this);
                greet(peer);
            }
        });
    }

private:
    void greet(QTcpSocket* peer)
    {
        if (behaviour_ == u"banner" || behaviour_ == u"banner then close") {
            peer->write("SSH-2.0-Test\r\n");
            peer->flush();
            if (behaviour_ == u"banner then close") {
                peer->disconnectFromHost();
            }
        } else if (behaviour_ == u"5000 bytes") {
            peer->write(QByteArray(5000, 'x'));
            peer->flush();
        } else if (behaviour_ == u"late banner") {
            QTimer::singleShot(3000, peer, [peer] { peer->write("late\r\n"); });
        } else if (behaviour_ == u"close") {
            peer->disconnectFromHost();
        } else if (behaviour_ == u"reset") {
            reset(peer);
        } else if (behaviour_ == u"reset later") {
            QTimer::singleShot(200, peer, [peer] { reset(peer); });
        }
        // "silence": keep the connection open and say nothing.
    }

    static void reset(QTcpSocket* peer)
    {
        const linger abortive{1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        peer->close();
    }

    QString behaviour_;
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
        QTest::addColumn<QString>("server");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QString>("end");     // "normal", or the error's description
        QTest::addColumn<QStringList>("log"); // "level format"; not checked when empty

        const QString connected = QStringLiteral("debug Connected to %s:%hu");
        QTest::newRow("banner at once") << "banner" << QList<QByteArray>{"SSH-2.0-Test\r\n"} << "normal"
                                        << QStringList{connected};
        QTest::newRow("5000 bytes at once")
            << "5000 bytes" << QList<QByteArray>{QByteArray(1024, 'x')} << "normal" << QStringList{connected};
        QTest::newRow("silence") << "silence" << QList<QByteArray>{} << "normal" << QStringList{connected};
        QTest::newRow("banner after the window")
            << "late banner" << QList<QByteArray>{} << "normal" << QStringList{connected};
        QTest::newRow("orderly close without data")
            << "close" << QList<QByteArray>{} << "normal" << QStringList{connected};
        QTest::newRow("banner, then orderly close")
            << "banner then close" << QList<QByteArray>{"SSH-2.0-Test\r\n"} << "normal" << QStringList{connected};
        // On loopback the reset may come before the connect is seen to complete, so either the
        // connection or the read fails.
        QTest::newRow("reset at once after accept")
            << "reset" << QList<QByteArray>{} << "Failed(\"Connection reset by peer\")" << QStringList{};
        QTest::newRow("reset after accept") << "reset later" << QList<QByteArray>{}
                                            << "readFailed(\"Connection reset by peer\")" << QStringList{connected};
        QTest::newRow("refused port") << "refused" << QList<QByteArray>{} << "connectionFailed(\"Connection refused\")"
                                      << QStringList{"debug Connection failed: %s"};
    }

    void probes()
    {
        QFETCH(QString, server);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QString, end);
        QFETCH(QStringList, log);

        TestServer listener(server);
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        const quint16 port = listener.serverPort();
        if (server == u"refused") {
            listener.close();
        }
        const auto sink = std::make_shared<CaptureLogSink>();
        const auto stream = std::make_shared<Channel<QByteArray>>();
        {
            AsyncConnection connection(
                QStringLiteral("127.0.0.1"), port,
                Logger(QStringLiteral("com.nerova.NerovaAgent"), QStringLiteral("AsyncConnection"), sink));
            connection.connect(stream);
        } // the probe runs on without its AsyncConnection
        const StreamResult result = QCoro::waitFor(drain(stream));

        QCOMPARE(result.chunks, chunks);
        QVERIFY2(end == u"normal" ? result.end == end : result.end.endsWith(end), qPrintable(result.end));
        if (!log.isEmpty()) {
            QCOMPARE(sink->formats(), log);
        }
        if (!log.isEmpty() && log.first() == u"debug Connected to %s:%hu") {
            QCOMPARE(sink->messages().first(), QStringLiteral("debug Connected to 127.0.0.1:%1").arg(port));
        }
        if (end == u"normal") {
            // Ended by the window, which a chunk does not shorten; coarse timers allow some slack.
            QVERIFY2(result.milliseconds >= 1500 && result.milliseconds < 15000,
                     qPrintable(QString::number(result.milliseconds)));
        }
    }

    void portZero()
    {
        const auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection(QStringLiteral("127.0.0.1"), 0,
                        Logger(QStringLiteral("test"), QStringLiteral("AsyncConnection")))
            .connect(stream);
        QCOMPARE(QCoro::waitFor(drain(stream)).end, QStringLiteral("invalidPort(\"0\")"));
    }

    // Many probes on one event loop overlap instead of queueing.
    void concurrentProbes()
    {
        TestServer listener(QStringLiteral("banner"));
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QList<std::shared_ptr<Channel<QByteArray>>> streams;
        for (int i = 0; i < 20; ++i) {
            streams.append(std::make_shared<Channel<QByteArray>>());
            AsyncConnection(QStringLiteral("127.0.0.1"), listener.serverPort(),
                            Logger(QStringLiteral("test"), QStringLiteral("AsyncConnection")))
                .connect(streams.last());
        }
        QElapsedTimer clock;
        clock.start();
        for (const auto& stream : streams) {
            const StreamResult result = QCoro::waitFor(drain(stream));
            QCOMPARE(result.chunks, QList<QByteArray>{"SSH-2.0-Test\r\n"});
            QCOMPARE(result.end, QStringLiteral("normal"));
        }
        QVERIFY2(clock.elapsed() < 20 * 1500, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(AsyncConnectionTest)
#include "AsyncConnectionTest.moc"
