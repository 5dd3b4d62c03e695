#include "core/CommandLine.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace nerova;

class ProbeCommandTest : public QObject {
    Q_OBJECT

private slots:
    void probe_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("arguments"); // <open>: a local server's port; <closed>: a closed one on ::1
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");          // part of standard output on success, else of standard error

        const QString kinds = QStringLiteral("expected 'ping HOST' or 'tcp HOST:PORT'");
        const QString timeout = QStringLiteral("--timeout needs a positive number of seconds");
        const QString port = QStringLiteral("the port must be a number from 1 to 65535");
        QTest::newRow("no host") << QStringList{"ping"} << 2 << kinds;
        QTest::newRow("unknown probe") << QStringList{"udp", "h:1"} << 2 << kinds;
        QTest::newRow("timeout not a number") << QStringList{"ping", "h", "--timeout", "abc"} << 2 << timeout;
        QTest::newRow("zero timeout") << QStringList{"ping", "h", "--timeout", "0"} << 2 << timeout;
        QTest::newRow("infinite timeout") << QStringList{"ping", "h", "--timeout", "inf"} << 2 << timeout;
        QTest::newRow("timeout for tcp") << QStringList{"tcp", "h:1", "--timeout", "1"} << 2 << "applies to ping only";
        QTest::newRow("no port") << QStringList{"tcp", "host"} << 2 << "expected HOST:PORT";
        QTest::newRow("bare IPv6") << QStringList{"tcp", "::1:80"} << 2 << "expected HOST:PORT";
        QTest::newRow("bracket without port") << QStringList{"tcp", "[::1]80"} << 2 << "expected [ADDRESS]:PORT";
        QTest::newRow("empty host") << QStringList{"tcp", ":80"} << 2 << "no host";
        QTest::newRow("port 0") << QStringList{"tcp", "h:0"} << 2 << port;
        QTest::newRow("port too large") << QStringList{"tcp", "h:65536"} << 2 << port;
        QTest::newRow("signed port") << QStringList{"tcp", "h:+80"} << 2 << port;
        QTest::newRow("tcp prints what arrived") << QStringList{"tcp", "127.0.0.1:<open>"} << 0
            << "received 8 bytes: \"hi\\r\\n\\x01\\xff\\\"\\\\\"\nstream from 127.0.0.1:<open> ended normally\n";
        QTest::newRow("tcp refused") << QStringList{"tcp", "[::1]:<closed>"} << 1
            << "tcp ::1:<closed>: stream ended with error connectionFailed(\"Connection refused\")";
        QTest::newRow("ping loopback") << QStringList{"ping", "127.0.0.1", "--timeout", "5"} << 0 << "reply from 127.0.0.1 in ";
        QTest::newRow("ping empty host name") << QStringList{"ping", "", "--timeout", "5"} << 1
            << "nerova-agent: ping : failed(hostResolution(2, ";
        // clang-format on
    }

    void probe()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, text);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server,
                [&server] { server.nextPendingConnection()->write(QByteArray("hi\r\n\x01\xff\"\\", 8)); });
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHostIPv6));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        for (const auto& [name, value] : {std::pair{"<open>", server.serverPort()}, {"<closed>", closedPort}}) {
            arguments.replaceInStrings(QLatin1String(name), QString::number(value));
            text.replace(QLatin1String(name), QString::number(value));
        }

        test::ConsoleCapture capture;
        Console console(capture.out(), capture.err());
        const int code = QCoro::waitFor(runCommandLine(QStringList{"nerova-agent", "probe"} + arguments, console));
        const QString out = capture.outText();
        const QString err = capture.errText();
        if (err.contains(QLatin1String("not permitted"))) {
            QSKIP(qPrintable(QStringLiteral("this process may not open ICMP sockets: ") + err));
        }
        QVERIFY2(code == exitCode, qPrintable(out + err));
        QVERIFY2((code == 0 ? out : err).contains(text), qPrintable(out + err));
        QVERIFY2((code == 0 ? err : out).isEmpty(), qPrintable(out + err));
    }
};

QTEST_GUILESS_MAIN(ProbeCommandTest)
#include "ProbeCommandTest.moc"
