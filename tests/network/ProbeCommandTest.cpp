#include "core/CommandLine.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace nerova;

namespace {

struct Run {
    int code;
    QString out;
    QString err;
};

Run runProbe(QStringList arguments)
{
    arguments.prepend(QStringLiteral("probe"));
    arguments.prepend(QStringLiteral("nerova-agent"));
    test::ConsoleCapture capture;
    Console console(capture.out(), capture.err());
    const int code = QCoro::waitFor(runCommandLine(arguments, console));
    return {code, capture.outText(), capture.errText()};
}

} // namespace

class ProbeCommandTest : public QObject {
    Q_OBJECT

private slots:
    void badArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");

        const QString kinds = QStringLiteral("expected 'ping HOST' or 'tcp HOST:PORT'");
        const QString timeout = QStringLiteral("--timeout needs a positive number of seconds");
        const QString port = QStringLiteral("the port must be a number from 1 to 65535");
        QTest::newRow("nothing") << QStringList{} << kinds;
        QTest::newRow("no host") << QStringList{"ping"} << kinds;
        QTest::newRow("unknown probe") << QStringList{"udp", "h:1"} << kinds;
        QTest::newRow("two hosts") << QStringList{"ping", "a", "b"} << kinds;
        QTest::newRow("timeout not a number") << QStringList{"ping", "h", "--timeout", "abc"} << timeout;
        QTest::newRow("negative timeout") << QStringList{"ping", "h", "--timeout", "-1"} << timeout;
        QTest::newRow("zero timeout") << QStringList{"ping", "h", "--timeout", "0"} << timeout;
        QTest::newRow("infinite timeout") << QStringList{"ping", "h", "--timeout", "inf"} << timeout;
        QTest::newRow("timeout without value") << QStringList{"ping", "h", "--timeout"} << "Missing value after";
        QTest::newRow("timeout for tcp") << QStringList{"tcp", "h:1", "--timeout", "1"} << "applies to ping only";
        QTest::newRow("no port") << QStringList{"tcp", "host"} << "expected HOST:PORT";
        QTest::newRow("bare IPv6") << QStringList{"tcp", "::1:80"} << "expected HOST:PORT";
        QTest::newRow("bracket without port") << QStringList{"tcp", "[::1]80"} << "expected [ADDRESS]:PORT";
        QTest::newRow("empty host") << QStringList{"tcp", ":80"} << "no host";
        QTest::newRow("port 0") << QStringList{"tcp", "h:0"} << port;
        QTest::newRow("port too large") << QStringList{"tcp", "h:65536"} << port;
        QTest::newRow("signed port") << QStringList{"tcp", "h:+80"} << port;
    }

    void badArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = runProbe(arguments);
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }

    void tcpPrintsWhatArrived()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server,
                [&server] { server.nextPendingConnection()->write(QByteArray("hi\r\n\x01\xff\"\\", 8)); });
        const Run run = runProbe({QStringLiteral("tcp"), QStringLiteral("127.0.0.1:%1").arg(server.serverPort())});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out, QStringLiteral("received 8 bytes: \"hi\\r\\n\\x01\\xff\\\"\\\\\"\n"
                                         "stream from 127.0.0.1:%1 ended normally\n")
                              .arg(server.serverPort()));
        QCOMPARE(run.err, QString());
    }

    void tcpRefused()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress(QStringLiteral("::1"))));
        const quint16 port = server.serverPort();
        server.close();
        const Run run = runProbe({QStringLiteral("tcp"), QStringLiteral("[::1]:%1").arg(port)});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("tcp ::1:%1: stream ended with error connectionFailed(\"Connection "
                                                 "refused\")")
                                      .arg(port)),
                 qPrintable(run.err));
    }

    void ping_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("loopback") << "127.0.0.1" << 0 << "reply from 127.0.0.1 in ";
        QTest::newRow("empty host name") << "" << 1 << "nerova-agent: ping : failed(hostResolution(2, ";
    }

    void ping()
    {
        QFETCH(QString, host);
        QFETCH(int, code);
        QFETCH(QString, text);
        const Run run = runProbe({QStringLiteral("ping"), host, QStringLiteral("--timeout"), QStringLiteral("5")});
        if (run.err.contains(QLatin1String("not permitted"))) {
            QSKIP(qPrintable(QStringLiteral("this process may not open ICMP sockets: ") + run.err));
        }
        QVERIFY2(run.code == code, qPrintable(run.out + run.err));
        QVERIFY2((code == 0 ? run.out : run.err).startsWith(text), qPrintable(run.out + run.err));
    }
};

QTEST_GUILESS_MAIN(ProbeCommandTest)
#include "ProbeCommandTest.moc"
