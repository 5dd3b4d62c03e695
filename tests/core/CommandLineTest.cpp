#include "CommandRun.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace nerova;

namespace {

const QByteArray validFile =
    R"({"fingerprints":[{"fingerprintId":"fp-1","name":"Office","locationPoint":{"locationId":"hq","placeId":"desk-7"},
  "rules":[{"name":"Main","conditions":[{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.1.0.0/16"}],"rules":[
  {"name":"Nested","conditions":[{"type":"ping","arguments":[{"name":"address","value":"gw"}],"rules":[],"inverted":true}]}],
  "inverted":false}]}]}],"fingerprintVersion":9007199254740993,"createdAt":"2026-11-30T09:15:00.123Z"})";

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void commands_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("arguments"); // FILE: the written file; <open>: a local server's port; <closed>: a closed one on ::1
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut");
        QTest::addColumn<QString>("expectedErr");
        const QByteArray none;

        QTest::newRow("summary") << QStringList{"check", "FILE"} << validFile << 0
            << QStringList{"Fingerprint file version 9007199254740993, created 2026-11-30T09:15:00.123Z, 1 fingerprint",
                           "fingerprint \"Office\" (id \"fp-1\")", "  location \"hq\", level -, zone -, place \"desk-7\"",
                           "  rule \"Main\"", "    - internalIp cidrRange=\"10.1.0.0/16\"", "      rule \"Nested\"",
                           "        - NOT ping address=\"gw\""} << "";
        QTest::newRow("summary escapes control characters") << QStringList{"check", "FILE"} << QByteArray(validFile).replace("\"Office\"", "\"Off\\u001b[2Jice\"") << 0 << QStringList{"fingerprint \"Off\\x1b[2Jice\" (id \"fp-1\")"} << "";
        QTest::newRow("json") << QStringList{"check", "FILE", "--json"} << validFile << 0 << QStringList{"\"fingerprintVersion\": 9007199254740993", "\"createdAt\": \"2026-11-30T09:15:00Z\""} << "";
        QTest::newRow("served file read as stored") << QStringList{"check", "--stored", "FILE"} << validFile << 2 << QStringList{} << "createdAt: \"2026-11-30T09:15:00.123Z\" is not a UTC date-time";
        QTest::newRow("decoding failure names the key") << QStringList{"check", "FILE"} << QByteArray(validFile).replace("\"inverted\":true", "\"inverted\":1") << 2 << QStringList{} << "fingerprints[0].rules[0].conditions[0].rules[0].conditions[0].inverted: expected a boolean";
        QTest::newRow("not JSON") << QStringList{"check", "FILE"} << QByteArray("\xff\xfe garbage") << 2 << QStringList{} << "malformed JSON";
        QTest::newRow("missing file") << QStringList{"check", "/nonexistent/file.json"} << QByteArray() << 2 << QStringList{} << "cannot read /nonexistent/file.json: No such file or directory";
        QTest::newRow("directory") << QStringList{"check", "/"} << QByteArray() << 2 << QStringList{} << "cannot read /";
        QTest::newRow("file over the cap") << QStringList{"check", "FILE"} << validFile + QByteArray(32 * 1024 * 1024, ' ') << 2 << QStringList{} << "larger than 33554432 bytes";
        QTest::newRow("no file") << QStringList{"check"} << QByteArray() << 2 << QStringList{} << "check needs exactly one FILE";
        QTest::newRow("unknown option") << QStringList{"check", "FILE", "--frobnicate"} << validFile << 2 << QStringList{} << "Unknown option 'frobnicate'";
        QTest::newRow("command help") << QStringList{"check", "--help"} << QByteArray() << 0 << QStringList{"Usage: nerova-agent check FILE"} << "";
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0 << QStringList{"Commands:", "check FILE"} << "";
        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0 << QStringList{"nerova-agent 0."} << "";
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << QByteArray() << 2 << QStringList{} << "unknown command 'frobnicate'";
        QTest::newRow("no command") << QStringList{} << QByteArray() << 2 << QStringList{} << "no command given";
        QTest::newRow("snapshot") << QStringList{"snapshot", "--no-public-ip"} << none << 0 << QStringList{"External IPv4: none\nInterfaces:\n", "Addresses:\n"} << "";
        QTest::newRow("snapshot as JSON") << QStringList{"snapshot", "--json", "--no-public-ip"} << none << 0 << QStringList{"\"externalIPv4\": null", "\"networkInterfaces\": ["} << "";
        const QString watchUsage = QStringLiteral("Usage: nerova-agent watch");
        QTest::newRow("watch: unknown option") << QStringList{"watch", "--bogus"} << none << 2 << QStringList{} << watchUsage;
        QTest::newRow("watch: both public-IP options") << QStringList{"watch", "--no-public-ip", "--public-ip-endpoint", "https://ip.example/"} << none << 2 << QStringList{} << watchUsage;
        QTest::newRow("watch: endpoint not http") << QStringList{"watch", "--public-ip-endpoint", "ftp://ip.example/"} << none << 2 << QStringList{} << watchUsage;
        QTest::newRow("watch: positional argument") << QStringList{"watch", "now"} << none << 2 << QStringList{} << watchUsage;
        const QString kinds = QStringLiteral("expected 'ping HOST' or 'tcp HOST:PORT'");
        const QString timeout = QStringLiteral("--timeout needs a positive number of seconds");
        const QString port = QStringLiteral("the port must be a number from 1 to 65535");
        QTest::newRow("probe: no host") << QStringList{"probe", "ping"} << none << 2 << QStringList{} << kinds;
        QTest::newRow("probe: unknown kind") << QStringList{"probe", "udp", "h:1"} << none << 2 << QStringList{} << kinds;
        QTest::newRow("probe: timeout not a number") << QStringList{"probe", "ping", "h", "--timeout", "abc"} << none << 2 << QStringList{} << timeout;
        QTest::newRow("probe: zero timeout") << QStringList{"probe", "ping", "h", "--timeout", "0"} << none << 2 << QStringList{} << timeout;
        QTest::newRow("probe: infinite timeout") << QStringList{"probe", "ping", "h", "--timeout", "inf"} << none << 2 << QStringList{} << timeout;
        QTest::newRow("probe: timeout for tcp") << QStringList{"probe", "tcp", "h:1", "--timeout", "1"} << none << 2 << QStringList{} << "applies to ping only";
        QTest::newRow("probe: no port") << QStringList{"probe", "tcp", "host"} << none << 2 << QStringList{} << "expected HOST:PORT";
        QTest::newRow("probe: bare IPv6") << QStringList{"probe", "tcp", "::1:80"} << none << 2 << QStringList{} << "expected HOST:PORT";
        QTest::newRow("probe: bracket without port") << QStringList{"probe", "tcp", "[::1]80"} << none << 2 << QStringList{} << "expected [ADDRESS]:PORT";
        QTest::newRow("probe: empty host") << QStringList{"probe", "tcp", ":80"} << none << 2 << QStringList{} << "no host";
        QTest::newRow("probe: port 0") << QStringList{"probe", "tcp", "h:0"} << none << 2 << QStringList{} << port;
        QTest::newRow("probe: port too large") << QStringList{"probe", "tcp", "h:65536"} << none << 2 << QStringList{} << port;
        QTest::newRow("probe: signed port") << QStringList{"probe", "tcp", "h:+80"} << none << 2 << QStringList{} << port;
        QTest::newRow("probe: tcp prints what arrived") << QStringList{"probe", "tcp", "127.0.0.1:<open>"} << none << 0 << QStringList{"received 8 bytes: \"hi\\r\\n\\x01\\xff\\\"\\\\\"\nstream from 127.0.0.1:<open> ended normally\n"} << "";
        QTest::newRow("probe: tcp refused") << QStringList{"probe", "tcp", "[::1]:<closed>"} << none << 1 << QStringList{} << "tcp ::1:<closed>: stream ended with error connectionFailed(\"Connection refused\")";
        QTest::newRow("probe: ping loopback") << QStringList{"probe", "ping", "127.0.0.1", "--timeout", "5"} << none << 0 << QStringList{"reply from 127.0.0.1 in "} << "";
        QTest::newRow("probe: ping empty host name") << QStringList{"probe", "ping", "", "--timeout", "5"} << none << 1 << QStringList{} << "nerova-agent: ping : failed(hostResolution(2, ";
        // clang-format on
    }

    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, contents);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);

        QTemporaryDir dir;
        const QString path = test::writeFile(dir, QStringLiteral("fingerprints.json"), contents);
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), path);
        QTcpServer server; // sends the same 8 bytes to every client
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, &server,
                [&server] { server.nextPendingConnection()->write(QByteArray("hi\r\n\x01\xff\"\\", 8)); });
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHostIPv6));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        for (const auto& [name, value] : {std::pair{"<open>", server.serverPort()}, {"<closed>", closedPort}}) {
            arguments.replaceInStrings(QLatin1String(name), QString::number(value));
            expectedOut.replaceInStrings(QLatin1String(name), QString::number(value));
            expectedErr.replace(QLatin1String(name), QString::number(value));
        }

        const test::CommandResult result = test::runCommand(arguments);
        if (result.err.contains(QLatin1String("not permitted"))) {
            QSKIP(qPrintable(QStringLiteral("this process may not open ICMP sockets: ") + result.err));
        }
        test::verifyResult(result, exitCode, expectedOut, expectedErr);
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
