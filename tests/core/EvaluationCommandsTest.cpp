#include "CommandRun.h"
#include "support/ScriptedHttpServer.h"

#include <QTemporaryDir>
#include <QTest>

using namespace nerova;

namespace {

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

class EvaluationCommandsTest : public QObject {
    Q_OBJECT

private slots:
    void check_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("snapshot");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut");
        QTest::addColumn<QString>("expectedErr");

        const QByteArray inOffice = snapshotWith("10.1.2.3");
        // clang-format off
        QTest::newRow("match") << QStringList{} << internalOffice << inOffice << 0 << QStringList{"Matched fingerprint \"Office\" (id \"fp-office\")"} << "";
        QTest::newRow("no match") << QStringList{} << internalOffice << snapshotWith("192.168.7.7") << 1 << QStringList{"No fingerprint matched"} << "";
        QTest::newRow("evaluation raises") << QStringList{} << invalidRange << inOffice << 3 << QStringList{} << "evaluation failed: invalidCIDR(\"33\")";
        QTest::newRow("explain a match") << QStringList{"--explain"} << nestedOffice << inOffice << 0 << QStringList{"fingerprint \"Office\" (id \"fp-office\"): matched\n"
                           "  rule \"Main\": true\n"
                           "    - internalIp cidrRange=\"10.1.0.0/16\": own true, nested true -> true "
                           "(10.1.2.3 (en0) is in the range)\n"
                           "      rule \"Not guest\": true\n"
                           "        - NOT or: own false, inverted -> true (no nested rules)\n"
                           "Matched fingerprint \"Office\" (id \"fp-office\")\n"} << "";
        QTest::newRow("json error") << QStringList{"--json"} << invalidRange << inOffice << 3 << QStringList{R"("match": null)", "\"error\": \"invalidCIDR(\\\"33\\\")\""} << "";
        QTest::newRow("json explain") << QStringList{"--json", "--explain"} << internalOffice << inOffice << 0 << QStringList{R"("match": {)", R"("fingerprintId": "fp-office")", R"("error": null)", R"("explain": [)", R"("name": "cidrRange")"} << "";
        QTest::newRow("explain an error") << QStringList{"--explain"} << invalidRange << inOffice << 3 << QStringList{"fingerprint \"Office\" (id \"fp-office\"): undecided", "rule \"Main\": undecided", "- internalIp cidrRange=\"10.1.0.0/33\": error invalidCIDR(\"33\")"} << "evaluation failed: invalidCIDR(\"33\")";
        // Names from outside reach the terminal with their control characters escaped.
        QTest::newRow("escape sequence in a fingerprint name") << QStringList{} << QByteArray(internalOffice).replace("\"name\":\"Office\"", "\"name\":\"Off\\u001b]0;x\\u0007ice\"") << inOffice << 0 << QStringList{"Matched fingerprint \"Off\\x1b]0;x\\x07ice\""} << "";
        QTest::newRow("escape sequence in an interface name") << QStringList{"--explain"} << internalOffice << QByteArray(inOffice).replace("\"name\":\"en0\"", "\"name\":\"en0\\u001b[2J\"") << 0 << QStringList{"(10.1.2.3 (en0\\x1b[2J) is in the range)"} << "";
        QTest::newRow("snapshot missing") << QStringList{"--snapshot", "/nonexistent/snapshot.json"} << internalOffice << QByteArray() << 2 << QStringList{} << "cannot read /nonexistent/snapshot.json";
        QTest::newRow("file malformed") << QStringList{} << QByteArray("{}") << inOffice << 2 << QStringList{} << "fingerprints: required key is missing";
        QTest::newRow("live and snapshot") << QStringList{"--live", "--snapshot", "SNAPSHOT"} << internalOffice << inOffice << 2 << QStringList{} << "--live and --snapshot exclude each other";
        // The command's own network access: the verdict is printed from inside the reply's signal.
        QTest::newRow("web content") << QStringList{"--explain"} << officeFile(condition("webContent", argument("url", "ENDPOINT/status") + "," + argument("match", "OK$"))) << snapshotWith("10.9.9.9") << 0 << QStringList{"own true -> true (HTTP 200, 9 bytes received)"} << "";
        // --live reads this machine's network; ENDPOINT/ok answers the public address, ENDPOINT/down 503.
        QTest::newRow("live: public address in range") << QStringList{"--live", "--public-ip-endpoint", "ENDPOINT/ok"} << externalOffice << QByteArray() << 0 << QStringList{"Matched fingerprint"} << "";
        QTest::newRow("live: lookup without an address") << QStringList{"--live", "--public-ip-endpoint", "ENDPOINT/down"} << externalOffice << QByteArray() << 1 << QStringList{"No fingerprint matched"} << "gave no address";
        QTest::newRow("live: lookup refused") << QStringList{"--live", "--public-ip-endpoint", "http://127.0.0.1:1/?format=json"} << externalOffice << QByteArray() << 1 << QStringList{"No fingerprint matched"} << "failed: ConnectionRefusedError(\"Connection refused\")";
        QTest::newRow("live: endpoint not a web URL") << QStringList{"--live", "--public-ip-endpoint", "file:///etc/passwd"} << externalOffice << QByteArray() << 2 << QStringList{} << "needs an http or https URL";
        QTest::newRow("public IP options need live") << QStringList{"--no-public-ip"} << internalOffice << inOffice << 2 << QStringList{} << "--no-public-ip and --public-ip-endpoint need --live";
        // clang-format on
    }

    void check()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, snapshot);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);

        test::ScriptedHttpServer server;
        server.route("/ok", {200, {}, R"({"ip":"203.0.113.9"})"});
        server.route("/down", {503, {}, R"({"ip":"203.0.113.9"})"});
        server.route("/status", {200, {}, "Branch OK"});
        options.replaceInStrings(QRegularExpression(QStringLiteral("^ENDPOINT")), server.url(QString()).toString());
        file.replace("ENDPOINT", server.url(QString()).toEncoded());
        const QTemporaryDir dir;
        QStringList arguments =
            QStringList{"check", test::writeFile(dir, QStringLiteral("fingerprints.json"), file)} + options;
        if (!options.contains(QStringLiteral("--snapshot")) && !options.contains(QStringLiteral("--live"))) {
            arguments << QStringLiteral("--snapshot") << QStringLiteral("SNAPSHOT");
        }
        arguments.replaceInStrings(QStringLiteral("SNAPSHOT"),
                                   test::writeFile(dir, QStringLiteral("snapshot.json"), snapshot));
        const test::CommandResult result = test::runCommand(arguments);
        test::verifyResult(result, exitCode, expectedOut, expectedErr);
        QVERIFY(!result.out.contains(u'\x1b') && !result.err.contains(u'\x1b'));
    }
};

QTEST_GUILESS_MAIN(EvaluationCommandsTest)
#include "EvaluationCommandsTest.moc"
