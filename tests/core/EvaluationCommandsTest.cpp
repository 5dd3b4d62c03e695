#include "common/CaptureLogSink.h"
#include "common/Json.h"
#include "core/CommandLine.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QTemporaryDir>
#include <QTest>

using namespace nerova;

namespace {

QByteArray fingerprintFile(const QByteArray& conditionsOfOffice)
{
    return R"({"fingerprintVersion":3,"createdAt":"2026-11-30T09:15:00.123Z","fingerprints":[
      {"fingerprintId":"fp-office","name":"Office","locationPoint":{"locationId":"hq"},
       "rules":[{"name":"Main","conditions":)" +
           conditionsOfOffice + R"(}]}]})";
}

const QByteArray internalOffice = fingerprintFile(
    R"([{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.1.0.0/16"}],"rules":[],"inverted":false}])");
const QByteArray externalOffice = fingerprintFile(
    R"([{"type":"externalIp","arguments":[{"name":"cidrRange","value":"203.0.113.0/24"}],"rules":[],"inverted":false}])");
const QByteArray invalidRange = fingerprintFile(
    R"([{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.1.0.0/33"}],"rules":[],"inverted":false}])");
const QByteArray nestedOffice = fingerprintFile(
    R"([{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.1.0.0/16"}],"inverted":false,"rules":[
         {"name":"Not guest","conditions":[{"type":"or","arguments":[],"rules":[],"inverted":true}]}]}])");

QByteArray snapshotWith(const QByteArray& address)
{
    return R"({"externalIPv4":null,"internalAddresses":[{"type":"IPv4","name":"en0","address":")" + address +
           R"("}],"externalIPv6":null,"networkInterfaces":[{"name":"en0","hardwareAddress":"02:00:5e:10:00:01"}]})";
}

struct Result {
    int code;
    QString out;
    QString err;
};

} // namespace

class EvaluationCommandsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // Runs nerova-agent with `arguments`, in which FILE and SNAPSHOT stand for written files.
    Result run(QStringList arguments, const QByteArray& file = {}, const QByteArray& snapshot = {})
    {
        const QString filePath = test::writeFile(dir_, QStringLiteral("fingerprints.json"), file);
        const QString snapshotPath = test::writeFile(dir_, QStringLiteral("snapshot.json"), snapshot);
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), filePath);
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^SNAPSHOT$")), snapshotPath);
        arguments.prepend(QStringLiteral("nerova-agent"));
        test::ConsoleCapture capture;
        Console console(capture.out(), capture.err());
        const int code = QCoro::waitFor(runCommandLine(arguments, console));
        return {code, capture.outText(), capture.errText()};
    }

private slots:
    void initTestCase()
    {
        // The engine's log lines go to a capture, not into the command's standard error.
        setDefaultLogSink(std::make_shared<CaptureLogSink>());
    }

    void checkAgainstSnapshot_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("snapshot");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut");
        QTest::addColumn<QString>("expectedErr");

        QTest::newRow("match") << QStringList{} << internalOffice << snapshotWith("10.1.2.3") << 0
                               << QStringList{"Matched fingerprint \"Office\" (id \"fp-office\")"} << "";
        QTest::newRow("no match") << QStringList{} << internalOffice << snapshotWith("192.168.7.7") << 1
                                  << QStringList{"No fingerprint matched"} << "";
        QTest::newRow("evaluation raises") << QStringList{} << invalidRange << snapshotWith("10.1.2.3") << 3
                                           << QStringList{} << "evaluation failed: invalidCIDR(\"33\")";
        QTest::newRow("malformed address in the snapshot raises")
            << QStringList{} << internalOffice << snapshotWith("10.1.2") << 3 << QStringList{}
            << "evaluation failed: invalidDottedQuad(\"10.1.2\")";
        QTest::newRow("external address absent in the snapshot")
            << QStringList{} << externalOffice << snapshotWith("10.1.2.3") << 1 << QStringList{"No fingerprint matched"}
            << "";
        QTest::newRow("explain a match")
            << QStringList{"--explain"} << nestedOffice << snapshotWith("10.1.2.3") << 0
            << QStringList{"fingerprint \"Office\" (id \"fp-office\"): matched\n"
                           "  rule \"Main\": true\n"
                           "    - internalIp cidrRange=\"10.1.0.0/16\": own true, nested true -> true "
                           "(10.1.2.3 (en0) is in the range)\n"
                           "      rule \"Not guest\": true\n"
                           "        - NOT or: own false, inverted -> true (no nested rules)\n"
                           "Matched fingerprint \"Office\" (id \"fp-office\")\n"}
            << "";
        QTest::newRow("explain no match")
            << QStringList{"--explain"} << internalOffice << snapshotWith("192.168.7.7") << 1
            << QStringList{"fingerprint \"Office\" (id \"fp-office\"): not matched",
                           "- internalIp cidrRange=\"10.1.0.0/16\": own false -> false (no IPv4 address in the range "
                           "(checked 192.168.7.7))",
                           "No fingerprint matched"}
            << "";
        QTest::newRow("explain an error")
            << QStringList{"--explain"} << invalidRange << snapshotWith("10.1.2.3") << 3
            << QStringList{"fingerprint \"Office\" (id \"fp-office\"): undecided", "rule \"Main\": undecided",
                           "- internalIp cidrRange=\"10.1.0.0/33\": error invalidCIDR(\"33\")"}
            << "evaluation failed: invalidCIDR(\"33\")";
        QTest::newRow("snapshot missing")
            << QStringList{"--snapshot", "/nonexistent/snapshot.json"} << internalOffice << QByteArray() << 2
            << QStringList{} << "cannot read /nonexistent/snapshot.json";
        QTest::newRow("snapshot malformed")
            << QStringList{} << internalOffice << QByteArray(R"({"internalAddresses":[{"type":"IPv5"}]})") << 2
            << QStringList{} << "internalAddresses[0].type: \"IPv5\" is not an address type";
        QTest::newRow("file malformed") << QStringList{} << QByteArray("{}") << snapshotWith("10.1.2.3") << 2
                                        << QStringList{} << "fingerprints: required key is missing";
        QTest::newRow("live and snapshot") << QStringList{"--live"} << internalOffice << snapshotWith("10.1.2.3") << 2
                                           << QStringList{} << "--live and --snapshot exclude each other";
        QTest::newRow("public IP options need live")
            << QStringList{"--no-public-ip"} << internalOffice << snapshotWith("10.1.2.3") << 2 << QStringList{}
            << "--no-public-ip and --public-ip-endpoint need --live";
    }

    void checkAgainstSnapshot()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, snapshot);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);

        QStringList arguments{"check", "FILE"};
        if (!options.contains(QStringLiteral("--snapshot"))) {
            arguments << "--snapshot"
                      << "SNAPSHOT";
        }
        const Result result = run(arguments + options, file, snapshot);
        QVERIFY2(result.code == exitCode,
                 qPrintable(QStringLiteral("exit %1\nout: %2\nerr: %3").arg(result.code).arg(result.out, result.err)));
        for (const QString& text : expectedOut) {
            QVERIFY2(result.out.contains(text),
                     qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(text, result.out)));
        }
        if (expectedErr.isEmpty()) {
            QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
        } else {
            QVERIFY2(result.err.contains(expectedErr), qPrintable(result.err));
        }
    }

    void checkAsJson_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expected"); // "match" and "error" of the answer
        QTest::newRow("match") << internalOffice << QByteArray("10.1.2.3") << 0
                               << QByteArray(R"({"match":{"fingerprintId":"fp-office","name":"Office"},"error":null})");
        QTest::newRow("no match") << internalOffice << QByteArray("192.168.7.7") << 1
                                  << QByteArray(R"({"match":null,"error":null})");
        QTest::newRow("error") << invalidRange << QByteArray("10.1.2.3") << 3
                               << QByteArray("{\"match\":null,\"error\":\"invalidCIDR(\\\"33\\\")\"}");
    }

    void checkAsJson()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, address);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expected);

        const Result plain = run({"check", "FILE", "--snapshot", "SNAPSHOT", "--json"}, file, snapshotWith(address));
        QCOMPARE(plain.code, exitCode);
        QVERIFY2(plain.err.isEmpty(), qPrintable(plain.err));
        QCOMPARE(QString::fromStdString(parseJson(plain.out.toUtf8()).dump()), QString::fromUtf8(expected));

        const Result explained =
            run({"check", "FILE", "--snapshot", "SNAPSHOT", "--json", "--explain"}, file, snapshotWith(address));
        QCOMPARE(explained.code, exitCode);
        const Json answer = parseJson(explained.out.toUtf8());
        QVERIFY(answer["explain"].is_array() && answer["explain"].size() == 1);
        QVERIFY(answer["explain"][0]["fingerprintId"] == "fp-office");
        QVERIFY(answer["explain"][0]["rules"][0]["conditions"][0]["arguments"][0]["name"] == "cidrRange");
    }

    // --live reads this machine's network; the public address comes from a loopback server.
    void checkLive_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expectedErr");
        QTest::newRow("public address in range") << QStringList{"--public-ip-endpoint", "ENDPOINT"} << 200 << 0 << "";
        QTest::newRow("lookup without an address")
            << QStringList{"--public-ip-endpoint", "ENDPOINT"} << 503 << 1 << "gave no address";
        QTest::newRow("lookup refused") << QStringList{"--public-ip-endpoint", "http://127.0.0.1:1/?format=json"} << 200
                                        << 1 << "failed: ConnectionRefusedError(\"Connection refused\")";
        QTest::newRow("no lookup") << QStringList{"--no-public-ip"} << 200 << 1 << "";
        QTest::newRow("endpoint not a web URL")
            << QStringList{"--public-ip-endpoint", "file:///etc/passwd"} << 200 << 2 << "needs an http or https URL";
        QTest::newRow("both lookup options")
            << QStringList{"--no-public-ip", "--public-ip-endpoint", "ENDPOINT"} << 200 << 2 << "exclude each other";
    }

    void checkLive()
    {
        QFETCH(QStringList, options);
        QFETCH(int, status);
        QFETCH(int, exitCode);
        QFETCH(QString, expectedErr);

        test::ScriptedHttpServer server;
        server.route("/", {status, {}, R"({"ip":"203.0.113.9"})"});
        options.replaceInStrings(QRegularExpression(QStringLiteral("^ENDPOINT$")),
                                 server.url(QStringLiteral("/?format=json")).toString());
        const Result result = run(QStringList{"check", "FILE", "--live"} + options, externalOffice);
        QVERIFY2(result.code == exitCode,
                 qPrintable(QStringLiteral("exit %1\nout: %2\nerr: %3").arg(result.code).arg(result.out, result.err)));
        QVERIFY2(expectedErr.isEmpty() ? result.err.isEmpty() : result.err.contains(expectedErr),
                 qPrintable(result.err));
    }

    void snapshotCommand_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("externalIPv4"); // empty: null
        QTest::addColumn<QString>("expectedErr");
        QTest::newRow("with lookup") << QStringList{"--public-ip-endpoint", "ENDPOINT"} << "203.0.113.9"
                                     << "";
        QTest::newRow("without lookup") << QStringList{"--no-public-ip"} << ""
                                        << "";
        QTest::newRow("lookup answers 404") << QStringList{"--public-ip-endpoint", "ENDPOINT/missing"} << ""
                                            << "gave no address";
    }

    void snapshotCommand()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, externalIPv4);
        QFETCH(QString, expectedErr);

        test::ScriptedHttpServer server;
        server.route("/", {200, {}, R"({"ip":"203.0.113.9"})"});
        options.replaceInStrings(QStringLiteral("ENDPOINT"), server.url(QString()).toString());
        const Result json = run(QStringList{"snapshot", "--json"} + options);
        QCOMPARE(json.code, 0);
        QVERIFY2(expectedErr.isEmpty() ? json.err.isEmpty() : json.err.contains(expectedErr), qPrintable(json.err));
        const Json context = parseJson(json.out.toUtf8());
        QVERIFY(externalIPv4.isEmpty() ? context["externalIPv4"].is_null()
                                       : context["externalIPv4"] == toStdString(externalIPv4));
        QVERIFY(context["externalIPv6"].is_null());
        QVERIFY(context["internalAddresses"].is_array() && context["networkInterfaces"].is_array());
        for (const Json& networkInterface : context["networkInterfaces"]) {
            QVERIFY(networkInterface["name"] != "lo");
        }

        const Result text = run(QStringList{"snapshot"} + options);
        QCOMPARE(text.code, 0);
        QVERIFY2(text.out.startsWith(QStringLiteral("External IPv4: %1\nInterfaces:\n")
                                         .arg(externalIPv4.isEmpty() ? QStringLiteral("none") : externalIPv4)),
                 qPrintable(text.out));
    }

    // The command's own network access: the verdict is printed from inside the reply's signal.
    void webContentThroughTheCommand()
    {
        test::ScriptedHttpServer server;
        server.route("/status", {200, {}, "Branch OK"});
        const QByteArray file = fingerprintFile(R"([{"type":"webContent","arguments":[{"name":"url","value":")" +
                                                server.url(QStringLiteral("/status")).toEncoded() +
                                                R"("},{"name":"match","value":"OK$"}],"rules":[],"inverted":false}])");
        const Result result =
            run({"check", "FILE", "--snapshot", "SNAPSHOT", "--explain"}, file, snapshotWith("10.9.9.9"));
        QCOMPARE(result.code, 0);
        QVERIFY2(result.out.contains(QStringLiteral("own true -> true (HTTP 200, 9 bytes received)")),
                 qPrintable(result.out));
    }

    // What `snapshot --json` prints, `check --snapshot` reads.
    void snapshotFeedsCheck()
    {
        const Result snapshot = run({"snapshot", "--json", "--no-public-ip"});
        QCOMPARE(snapshot.code, 0);
        const Result check = run({"check", "FILE", "--snapshot", "SNAPSHOT"}, internalOffice, snapshot.out.toUtf8());
        QVERIFY2(check.code == 0 || check.code == 1, qPrintable(check.err));
    }
};

QTEST_GUILESS_MAIN(EvaluationCommandsTest)
#include "EvaluationCommandsTest.moc"
