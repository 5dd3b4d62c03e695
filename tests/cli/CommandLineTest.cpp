#include "CommandRun.h"
#include "agent/ActivityRecord.h"
#include "common/Json.h"
#include "support/ScriptedHttpServer.h"

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

QByteArray argument(const QByteArray& name, const QByteArray& value)
{
    return R"({"name":")" + name + R"(","value":")" + value + R"("})";
}
// A condition in its JSON form; `rules` is the JSON list of its nested rules.
QByteArray condition(const QByteArray& type, const QByteArray& arguments, const QByteArray& rules = "[]",
                     bool inverted = false)
{
    return R"({"type":")" + type + R"(","arguments":[)" + arguments + R"(],"rules":)" + rules + R"(,"inverted":)" +
           (inverted ? "true" : "false") + "}";
}
// A served file whose fingerprint "Office" (id "fp-office") has one rule "Main" holding `only`.
QByteArray officeFile(const QByteArray& only)
{
    return R"({"fingerprintVersion":3,"createdAt":"2026-11-30T09:15:00.123Z","fingerprints":[{"fingerprintId":)"
           R"("fp-office","name":"Office","locationPoint":{"locationId":"hq"},"rules":[{"name":"Main","conditions":[)" +
           only + "]}]}]}";
}

const QByteArray internalOffice = officeFile(condition("internalIp", argument("cidrRange", "10.1.0.0/16")));
const QByteArray externalOffice = officeFile(condition("externalIp", argument("cidrRange", "203.0.113.0/24")));
const QByteArray invalidRange = officeFile(condition("internalIp", argument("cidrRange", "10.1.0.0/33")));
const QByteArray nestedOffice =
    officeFile(condition("internalIp", argument("cidrRange", "10.1.0.0/16"),
                         R"([{"name":"Not guest","conditions":[)" + condition("or", "", "[]", true) + "]}]"));

QByteArray snapshotWith(const QByteArray& address)
{
    return R"({"externalIPv4":null,"internalAddresses":[{"type":"IPv4","name":"en0","address":")" + address +
           R"("}],"externalIPv6":null,"networkInterfaces":[{"name":"en0","hardwareAddress":"02:00:5e:10:00:01"}]})";
}

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

    QTemporaryDir home_; // the user's settings; no session bus, so no agent and no keyring is reached

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_.path()));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/nerova-test-bus");
    }

    void commands_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("arguments"); // FILE: the written file; <open>: a local TCP server's port; <closed>: a closed one on ::1; ENDPOINT: a local web server
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut");
        QTest::addColumn<QString>("expectedErr");
        QTest::addColumn<QByteArray>("snapshot"); // written to SNAPSHOT, and given as --snapshot when no option names one
        const QByteArray none;

        QTest::newRow("summary") << QStringList{"check", "FILE"} << validFile << 0
            << QStringList{"Fingerprint file version 9007199254740993, created 2026-11-30T09:15:00.123Z, 1 fingerprint",
                           "fingerprint \"Office\" (id \"fp-1\")", "  location \"hq\", level -, zone -, place \"desk-7\"",
                           "  rule \"Main\"", "    - internalIp cidrRange=\"10.1.0.0/16\"", "      rule \"Nested\"",
                           "        - NOT ping address=\"gw\""} << "" << none;
        QTest::newRow("summary escapes control characters") << QStringList{"check", "FILE"} << QByteArray(validFile).replace("\"Office\"", "\"Off\\u001b[2Jice\"") << 0 << QStringList{"fingerprint \"Off\\x1b[2Jice\" (id \"fp-1\")"} << "" << none;
        QTest::newRow("json") << QStringList{"check", "FILE", "--json"} << validFile << 0 << QStringList{"\"fingerprintVersion\": 9007199254740993", "\"createdAt\": \"2026-11-30T09:15:00Z\""} << "" << none;
        QTest::newRow("served file read as stored") << QStringList{"check", "--stored", "FILE"} << validFile << 2 << QStringList{} << "createdAt: \"2026-11-30T09:15:00.123Z\" is not a UTC date-time" << none;
        QTest::newRow("decoding failure names the key") << QStringList{"check", "FILE"} << QByteArray(validFile).replace("\"inverted\":true", "\"inverted\":1") << 2 << QStringList{} << "fingerprints[0].rules[0].conditions[0].rules[0].conditions[0].inverted: expected a boolean" << none;
        QTest::newRow("a managed policy") << QStringList{"check", "FILE"} << QByteArray("{\"agentEndpoint\":\"https://presence.example.com\",\"registrationKey\":\"k\"}") << 2 << QStringList{} << "fingerprints.json: this looks like a managed policy, not a fingerprint file (it sets agentEndpoint, registrationKey)" << none;
        QTest::newRow("unknown keys: the key path") << QStringList{"check", "FILE"} << QByteArray("{\"agentEndpointt\":\"x\"}") << 2 << QStringList{} << "fingerprints: required key is missing" << none;
        QTest::newRow("not JSON") << QStringList{"check", "FILE"} << QByteArray("\xff\xfe garbage") << 2 << QStringList{} << "malformed JSON" << none;
        QTest::newRow("missing file") << QStringList{"check", "/nonexistent/file.json"} << QByteArray() << 2 << QStringList{} << "cannot read /nonexistent/file.json: No such file or directory" << none;
        QTest::newRow("directory") << QStringList{"check", "/"} << QByteArray() << 2 << QStringList{} << "cannot read /" << none;
        QTest::newRow("file over the cap") << QStringList{"check", "FILE"} << validFile + QByteArray(32 * 1024 * 1024, ' ') << 2 << QStringList{} << "larger than 33554432 bytes" << none;
        QTest::newRow("no file") << QStringList{"check"} << QByteArray() << 2 << QStringList{} << "check needs exactly one FILE" << none;
        QTest::newRow("unknown option") << QStringList{"check", "FILE", "--frobnicate"} << validFile << 2 << QStringList{} << "Unknown option 'frobnicate'" << none;
        QTest::newRow("command help") << QStringList{"check", "--help"} << QByteArray() << 0 << QStringList{"Usage: nerova-agent check FILE"} << "" << none;
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0 << QStringList{"Commands:", "check FILE --live [--no-public-ip | --public-ip-endpoint URL] [--explain]", "snapshot [--json] [--no-public-ip | --public-ip-endpoint URL]", "watch [--no-public-ip | --public-ip-endpoint URL]"} << "" << none;
        QTest::newRow("snapshot help") << QStringList{"snapshot", "--help"} << QByteArray() << 0 << QStringList{"Usage: nerova-agent snapshot [--json] [--no-public-ip | --public-ip-endpoint URL]", "--public-ip-endpoint <URL>", "the setting publicIpEndpoint"} << "" << none;
        // Nothing is done before the arguments are known to be right: no agent runs, no enrolment is reset.
        for (const char* command : {"run", "reset-enrolment", "status", "refresh", "pause", "resume", "snapshot", "watch", "--version"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1: extra argument").arg(command))) << QStringList{command, "extra"} << none << 2 << QStringList{} << "unexpected argument 'extra'" << none;
        }
        const QString pauseUsage = QStringLiteral("Usage: nerova-agent pause [--for MINUTES | --until-tomorrow]");
        QTest::newRow("pause: both options") << QStringList{"pause", "--for", "30", "--until-tomorrow"} << none << 2 << QStringList{} << "give either --for or --until-tomorrow" << none;
        for (const char* minutes : {"0", "1441", "soon"}) {
            QTest::newRow(qPrintable(QStringLiteral("pause --for %1").arg(minutes))) << QStringList{"pause", "--for", minutes} << none << 2 << QStringList{} << "--for expects minutes from 1 to 1440" << none;
        }
        QTest::newRow("pause: no agent") << QStringList{"pause", "--for", "1440"} << none << 1 << QStringList{} << "no session bus, so no agent can be running" << none;
        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0 << QStringList{"nerova-agent 0."} << "" << none;
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << QByteArray() << 2 << QStringList{} << "unknown command 'frobnicate'" << none;
        QTest::newRow("no command") << QStringList{} << QByteArray() << 2 << QStringList{} << "no command given" << none;
        QTest::newRow("snapshot") << QStringList{"snapshot", "--no-public-ip"} << none << 0 << QStringList{"External IPv4: none\nInterfaces:\n", "Addresses:\n"} << "" << none;
        QTest::newRow("snapshot as JSON") << QStringList{"snapshot", "--json", "--no-public-ip"} << none << 0 << QStringList{"\"externalIPv4\": null", "\"networkInterfaces\": ["} << "" << none;
        QTest::newRow("snapshot: the setting's endpoint") << QStringList{"snapshot"} << none << 0 << QStringList{"External IPv4: 203.0.113.9\n"} << "" << none;
        const QString watchUsage = QStringLiteral("Usage: nerova-agent watch");
        QTest::newRow("watch: unknown option") << QStringList{"watch", "--bogus"} << none << 2 << QStringList{} << watchUsage << none;
        QTest::newRow("watch: both public-IP options") << QStringList{"watch", "--no-public-ip", "--public-ip-endpoint", "https://ip.example/"} << none << 2 << QStringList{} << watchUsage << none;
        QTest::newRow("watch: endpoint not http") << QStringList{"watch", "--public-ip-endpoint", "ftp://ip.example/"} << none << 2 << QStringList{} << watchUsage << none;
        QTest::newRow("watch: positional argument") << QStringList{"watch", "now"} << none << 2 << QStringList{} << watchUsage << none;
        const QString kinds = QStringLiteral("expected 'ping HOST' or 'tcp HOST:PORT'");
        const QString timeout = QStringLiteral("--timeout needs a positive number of seconds");
        const QString port = QStringLiteral("the port must be a number from 1 to 65535");
        QTest::newRow("probe: no host") << QStringList{"probe", "ping"} << none << 2 << QStringList{} << kinds << none;
        QTest::newRow("probe: unknown kind") << QStringList{"probe", "udp", "h:1"} << none << 2 << QStringList{} << kinds << none;
        QTest::newRow("probe: timeout not a number") << QStringList{"probe", "ping", "h", "--timeout", "abc"} << none << 2 << QStringList{} << timeout << none;
        QTest::newRow("probe: zero timeout") << QStringList{"probe", "ping", "h", "--timeout", "0"} << none << 2 << QStringList{} << timeout << none;
        QTest::newRow("probe: infinite timeout") << QStringList{"probe", "ping", "h", "--timeout", "inf"} << none << 2 << QStringList{} << timeout << none;
        QTest::newRow("probe: timeout for tcp") << QStringList{"probe", "tcp", "h:1", "--timeout", "1"} << none << 2 << QStringList{} << "applies to ping only" << none;
        QTest::newRow("probe: no port") << QStringList{"probe", "tcp", "host"} << none << 2 << QStringList{} << "expected HOST:PORT" << none;
        QTest::newRow("probe: bare IPv6") << QStringList{"probe", "tcp", "::1:80"} << none << 2 << QStringList{} << "expected HOST:PORT" << none;
        QTest::newRow("probe: bracket without port") << QStringList{"probe", "tcp", "[::1]80"} << none << 2 << QStringList{} << "expected [ADDRESS]:PORT" << none;
        QTest::newRow("probe: empty host") << QStringList{"probe", "tcp", ":80"} << none << 2 << QStringList{} << "no host" << none;
        QTest::newRow("probe: port 0") << QStringList{"probe", "tcp", "h:0"} << none << 2 << QStringList{} << port << none;
        QTest::newRow("probe: port too large") << QStringList{"probe", "tcp", "h:65536"} << none << 2 << QStringList{} << port << none;
        QTest::newRow("probe: signed port") << QStringList{"probe", "tcp", "h:+80"} << none << 2 << QStringList{} << port << none;
        QTest::newRow("probe: tcp prints what arrived") << QStringList{"probe", "tcp", "127.0.0.1:<open>"} << none << 0 << QStringList{"received 8 bytes: \"hi\\r\\n\\x01\\xff\\\"\\\\\"\nstream from 127.0.0.1:<open> ended normally\n"} << "" << none;
        QTest::newRow("probe: tcp refused") << QStringList{"probe", "tcp", "[::1]:<closed>"} << none << 1 << QStringList{} << "tcp ::1:<closed>: stream ended with error connectionFailed(\"Connection refused\")" << none;
        QTest::newRow("probe: ping loopback") << QStringList{"probe", "ping", "127.0.0.1", "--timeout", "5"} << none << 0 << QStringList{"reply from 127.0.0.1 in "} << "" << none;
        QTest::newRow("probe: ping empty host name") << QStringList{"probe", "ping", "", "--timeout", "5"} << none << 1 << QStringList{} << "nerova-agent: ping : failed(hostResolution(2, " << none;
        const QByteArray inOffice = snapshotWith("10.1.2.3");
        QTest::newRow("match") << QStringList{"check", "FILE"} << internalOffice << 0 << QStringList{"Matched fingerprint \"Office\" (id \"fp-office\")"} << "" << inOffice;
        QTest::newRow("no match") << QStringList{"check", "FILE"} << internalOffice << 1 << QStringList{"No fingerprint matched"} << "" << snapshotWith("192.168.7.7");
        QTest::newRow("evaluation raises") << QStringList{"check", "FILE"} << invalidRange << 3 << QStringList{} << "evaluation failed: invalidCIDR(\"33\")" << inOffice;
        QTest::newRow("explain a match") << QStringList{"check", "FILE", "--explain"} << nestedOffice << 0 << QStringList{"fingerprint \"Office\" (id \"fp-office\"): matched\n"
                           "  rule \"Main\": true\n"
                           "    - internalIp cidrRange=\"10.1.0.0/16\": own true, nested true -> true "
                           "(10.1.2.3 (en0) is in the range)\n"
                           "      rule \"Not guest\": true\n"
                           "        - NOT or: own false, inverted -> true (no nested rules)\n"
                           "Matched fingerprint \"Office\" (id \"fp-office\")\n"} << "" << inOffice;
        QTest::newRow("json error") << QStringList{"check", "FILE", "--json"} << invalidRange << 3 << QStringList{R"("match": null)", "\"error\": \"invalidCIDR(\\\"33\\\")\""} << "" << inOffice;
        QTest::newRow("json explain") << QStringList{"check", "FILE", "--json", "--explain"} << internalOffice << 0 << QStringList{R"("match": {)", R"("fingerprintId": "fp-office")", R"("error": null)", R"("explain": [)", R"("name": "cidrRange")"} << "" << inOffice;
        QTest::newRow("explain an error") << QStringList{"check", "FILE", "--explain"} << invalidRange << 3 << QStringList{"fingerprint \"Office\" (id \"fp-office\"): undecided", "rule \"Main\": undecided", "- internalIp cidrRange=\"10.1.0.0/33\": error invalidCIDR(\"33\")"} << "evaluation failed: invalidCIDR(\"33\")" << inOffice;
        // Names from outside reach the terminal with their control characters escaped.
        QTest::newRow("escape sequence in a fingerprint name") << QStringList{"check", "FILE"} << QByteArray(internalOffice).replace("\"name\":\"Office\"", "\"name\":\"Off\\u001b]0;x\\u0007ice\"") << 0 << QStringList{"Matched fingerprint \"Off\\x1b]0;x\\x07ice\""} << "" << inOffice;
        QTest::newRow("escape sequence in an interface name") << QStringList{"check", "FILE", "--explain"} << internalOffice << 0 << QStringList{"(10.1.2.3 (en0\\x1b[2J) is in the range)"} << "" << QByteArray(inOffice).replace("\"name\":\"en0\"", "\"name\":\"en0\\u001b[2J\"");
        QTest::newRow("snapshot missing") << QStringList{"check", "FILE", "--snapshot", "/nonexistent/snapshot.json"} << internalOffice << 2 << QStringList{} << "cannot read /nonexistent/snapshot.json" << QByteArray();
        QTest::newRow("file malformed") << QStringList{"check", "FILE"} << QByteArray("{}") << 2 << QStringList{} << "fingerprints: required key is missing" << inOffice;
        QTest::newRow("live and snapshot") << QStringList{"check", "FILE", "--live", "--snapshot", "SNAPSHOT"} << internalOffice << 2 << QStringList{} << "--live, --snapshot and --snapshots exclude each other" << inOffice;
        // The command's own network access: the verdict is printed from inside the reply's signal.
        QTest::newRow("web content") << QStringList{"check", "FILE", "--explain"} << officeFile(condition("webContent", argument("url", "ENDPOINT/status") + "," + argument("match", "OK$"))) << 0 << QStringList{"own true -> true (HTTP 200, 9 bytes received)"} << "" << snapshotWith("10.9.9.9");
        // --live reads this machine's network; ENDPOINT/ok answers the public address, ENDPOINT/down 503.
        QTest::newRow("live: public address in range") << QStringList{"check", "FILE", "--live", "--public-ip-endpoint", "ENDPOINT/ok"} << externalOffice << 0 << QStringList{"Matched fingerprint"} << "" << QByteArray();
        QTest::newRow("live: the setting's endpoint") << QStringList{"check", "FILE", "--live"} << externalOffice << 0 << QStringList{"Matched fingerprint"} << "" << QByteArray();
        QTest::newRow("live: lookup without an address") << QStringList{"check", "FILE", "--live", "--public-ip-endpoint", "ENDPOINT/down"} << externalOffice << 1 << QStringList{"No fingerprint matched"} << "gave no address" << QByteArray();
        QTest::newRow("live: lookup refused") << QStringList{"check", "FILE", "--live", "--public-ip-endpoint", "http://127.0.0.1:1/?format=json"} << externalOffice << 1 << QStringList{"No fingerprint matched"} << "failed: ConnectionRefusedError(\"Connection refused\")" << QByteArray();
        QTest::newRow("live: endpoint not a web URL") << QStringList{"check", "FILE", "--live", "--public-ip-endpoint", "file:///etc/passwd"} << externalOffice << 2 << QStringList{} << "needs an http or https URL" << QByteArray();
        // Standard output holds the fingerprint alone, ready to paste into a file.
        QTest::newRow("suggest from a snapshot") << QStringList{"fingerprint", "suggest", "--name", "Desk 7", "--location-id", "hq", "--id", "fp-desk-7"} << none << 0 << QStringList{"{\n  \"fingerprintId\": \"fp-desk-7\",\n  \"name\": \"Desk 7\",\n  \"locationPoint\": {\n    \"locationId\": \"hq\"\n  },\n  \"rules\": [\n    {\n      \"name\": \"Internal network 10.1.2.0/24 (en0) (private range)\"", "\"value\": \"10.1.2.0/24\""} << "" << inOffice;
        QTest::newRow("suggest needs a location") << QStringList{"fingerprint", "suggest", "--name", "Desk 7"} << none << 2 << QStringList{} << "fingerprint suggest needs --name and --location-id" << inOffice;
        QTest::newRow("public IP options need live") << QStringList{"check", "FILE", "--no-public-ip"} << internalOffice << 2 << QStringList{} << "--no-public-ip and --public-ip-endpoint need --live" << inOffice;
        // clang-format on
    }

    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, contents);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);
        QFETCH(QByteArray, snapshot);

        test::ScriptedHttpServer http;
        http.route("/ok", {200, {}, R"({"ip":"203.0.113.9"})"});
        http.route("/down", {503, {}, R"({"ip":"203.0.113.9"})"});
        http.route("/status", {200, {}, "Branch OK"});
        contents.replace("ENDPOINT", http.url(QString()).toEncoded());
        QTcpServer tcp; // sends the same 8 bytes to every client
        QVERIFY(tcp.listen(QHostAddress::LocalHost));
        connect(&tcp, &QTcpServer::newConnection, &tcp,
                [&tcp] { tcp.nextPendingConnection()->write(QByteArray("hi\r\n\x01\xff\"\\", 8)); });
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHostIPv6));
        const QString closedPort = QString::number(closed.serverPort());
        closed.close();
        for (const auto& [name, value] : {std::pair{QStringLiteral("<open>"), QString::number(tcp.serverPort())},
                                          {QStringLiteral("<closed>"), closedPort},
                                          {QStringLiteral("ENDPOINT"), http.url(QString()).toString()}}) {
            arguments.replaceInStrings(name, value);
            expectedOut.replaceInStrings(name, value);
            expectedErr.replace(name, value);
        }
        if (!snapshot.isEmpty() && !arguments.contains(QStringLiteral("--snapshot"))) {
            arguments << QStringLiteral("--snapshot") << QStringLiteral("SNAPSHOT");
        }
        QTemporaryDir dir;
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")),
                                   test::writeFile(dir, QStringLiteral("fingerprints.json"), contents));
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^SNAPSHOT$")),
                                   test::writeFile(dir, QStringLiteral("snapshot.json"), snapshot));

        // The public address is looked up where the setting says: at the loopback stand-in.
        QDir().mkpath(home_.filePath(QStringLiteral("Nerova")));
        const QByteArray settings =
            "[General]\nisRegistered=true\npublicIpEndpoint=" + http.url(QStringLiteral("/ok")).toEncoded() + '\n';
        test::writeFile(home_, QStringLiteral("Nerova/NerovaAgent.conf"), settings);

        const test::CommandResult result = test::runCommand(arguments);
        if (arguments.value(1) == u"ping" && result.err.contains(QLatin1String("not permitted"))) {
            QSKIP(qPrintable(QStringLiteral("this process may not open ICMP sockets: ") + result.err));
        }
        test::verifyResult(result, exitCode, expectedOut, expectedErr);
        QVERIFY(!result.out.contains(u'\x1b') && !result.err.contains(u'\x1b'));
        QFile stored(home_.filePath(QStringLiteral("Nerova/NerovaAgent.conf")));
        QVERIFY(stored.open(QIODevice::ReadOnly) && stored.readAll() == settings);
    }

    // A file tried against several saved snapshots: one line or element each, in the order given
    // (a folder: by file name); every snapshot is read before any is evaluated.
    void checkAgainstSnapshots()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("places"));
        QDir().mkpath(folder);
        QDir().mkpath(dir.filePath(QStringLiteral("empty")));
        const QString office = test::writeFile(dir, QStringLiteral("places/office.json"), snapshotWith("10.1.2.3"));
        const QString home = test::writeFile(dir, QStringLiteral("places/home.json"), snapshotWith("192.168.7.7"));
        const QString broken = test::writeFile(dir, QStringLiteral("broken.json"), R"({"internalAddresses":[]})");
        const QString file = test::writeFile(dir, QStringLiteral("fingerprints.json"), internalOffice);
        const QString invalid = test::writeFile(dir, QStringLiteral("invalid.json"), invalidRange);
        const struct {
            QStringList arguments;
            int exitCode;
            QString out; // a pattern of the whole standard output
            QString err;
        } rows[] = {
            {{file, "--snapshots", folder},
             0,
             R"(^\S+home.json +\d\.\d{3} s  none\n\S+office.json +\d\.\d{3} s  )"
             R"("Office" \(id "fp-office"\)\n$)",
             ""},
            {{file, "--snapshot", office, "--snapshot", home, "--json"},
             0,
             R"(^\[\n  \{\n    "snapshot": "\S+office.json",\n    "match": \{\n      "fingerprintId": "fp-office",)"
             R"([\s\S]*"snapshot": "\S+home.json",\n    "match": null,\n    "error": null,\n    "seconds": [0-9.e-]+\n  \}\n\]\n$)",
             ""},
            {{invalid, "--snapshots", folder}, 3, R"(error: invalidCIDR\("33"\)\n$)", ""},
            {{file, "--snapshot", office, "--snapshot", broken}, 2, "^$", "networkInterfaces: required key is missing"},
            {{file, "--snapshots", dir.filePath(QStringLiteral("empty"))}, 2, "^$", "no *.json snapshot in the folder"},
            {{file, "--snapshots", folder, "--explain"}, 2, "^$", "--explain takes a single snapshot"},
        };
        for (const auto& [arguments, exitCode, out, err] : rows) {
            const test::CommandResult result = test::runCommand(QStringList{"check"} + arguments);
            QCOMPARE(result.code, exitCode);
            QVERIFY2(QRegularExpression(out).match(result.out).hasMatch(), qPrintable(result.out));
            QVERIFY2(result.err.contains(err), qPrintable(result.err));
        }
    }

    // `activity` reads the agent's record, no agent need run: newest first, the bounds applied,
    // damaged lines skipped, control characters escaped.
    void activityCommand()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(home_.filePath(QStringLiteral("data"))));
        QCoreApplication::setOrganizationName(QStringLiteral("Nerova"));
        QCoreApplication::setApplicationName(QStringLiteral("NerovaAgent"));
        const QString path = ActivityRecord::defaultPath();
        QVERIFY(path.startsWith(home_.filePath(QStringLiteral("data/Nerova/NerovaAgent/"))));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto line = [&now](int hoursAgo, const char* request, const char* outcome, const char* detail) {
            return QStringLiteral("{\"time\":\"%1\",\"request\":\"%2\",\"outcome\":\"%3\",\"detail\":\"%4\"}\n")
                .arg(now.addSecs(-3600 * hoursAgo).toString(Qt::ISODate), request, outcome, detail)
                .toUtf8();
        };
        QDir().mkpath(QFileInfo(path).path());
        test::writeFile(home_, QStringLiteral("data/Nerova/NerovaAgent/activity.jsonl"),
                        line(800, "check-in", "accepted", "older than 30 days") +
                            line(3, "registration", "failed", "ConnectionRefusedError") + "damaged\n" +
                            line(2, "check-in", "refused", "status 503; fingerprint version 3") +
                            line(1, "presence", "accepted", "Office (fp-office) hq/level-3\\u001b[2J"));
        const QRegularExpression localTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  "));
        const struct {
            QStringList arguments;
            int exitCode;
            QStringList out; // the start of each line after the time, or each element's request
            QString err;
        } rows[] = {
            {{},
             0,
             {"presence      accepted      Office (fp-office) hq/level-3\\x1b[2J\n",
              "check-in      refused       status 503; fingerprint version 3\n",
              "registration  failed        ConnectionRefusedError\n"},
             ""},
            {{"--limit", "1"}, 0, {"presence      accepted"}, ""},
            {{"--json", "--limit", "2"}, 0, {"presence", "check-in"}, ""},
            {{"--limit", "0"}, 2, {}, "--limit needs a positive whole number, not '0'"},
            {{"--limit", "-1"}, 2, {}, "--limit needs a positive whole number"},
            {{"--limit", "many"}, 2, {}, "--limit needs a positive whole number"},
            {{"--limit"}, 2, {}, "Missing value after '--limit'"},
            {{"now"}, 2, {}, "unexpected argument 'now'"},
        };
        for (const auto& [arguments, exitCode, out, err] : rows) {
            const test::CommandResult result = test::runCommand(QStringList{"activity"} + arguments);
            QCOMPARE(result.code, exitCode);
            QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err), qPrintable(result.err));
            QStringList shown;
            if (arguments.contains(QStringLiteral("--json"))) {
                QVERIFY(result.out.contains(QStringLiteral("hq/level-3\\u001b[2J\"")));
                for (const Json& entry : parseJson(result.out.toUtf8())) {
                    const QString time = fromStdString(entry.at("time").get<std::string>());
                    QVERIFY2(time.endsWith(u'Z') && QDateTime::fromString(time, Qt::ISODate).isValid(),
                             qPrintable(time));
                    shown << fromStdString(entry.at("request").get<std::string>());
                }
            } else {
                for (const QString& text : result.out.split(u'\n', Qt::SkipEmptyParts)) {
                    QVERIFY2(localTime.match(text).hasMatch(), qPrintable(text));
                    shown << text.mid(21) + u'\n';
                }
            }
            QCOMPARE(shown.size(), out.size());
            for (qsizetype i = 0; i < out.size(); ++i) {
                QVERIFY2(shown[i].startsWith(out[i]), qPrintable(shown[i]));
            }
        }
        QVERIFY(QFile::remove(path));
        test::verifyResult(test::runCommand({"activity"}), 0, {"No request to the service recorded.\n"}, {});
        test::verifyResult(test::runCommand({"activity", "--json"}), 0, {"[]\n"}, {});
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
