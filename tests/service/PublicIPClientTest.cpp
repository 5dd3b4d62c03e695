#include "service/PublicIPClient.h"
#include "common/Await.h"
#include "common/Json.h"
#include "support/ScriptedHttpServer.h"

#include <QTest>

using namespace nerova;
using namespace std::chrono_literals;

namespace {

// "ip:<text>", "absent", or "error:<description>".
QString lookUp(const QUrl& endpoint)
{
    try {
        const std::optional<QString> ip = await(PublicIPClient(endpoint, 300ms).fetchPublicIP());
        return ip ? QStringLiteral("ip:") + *ip : QStringLiteral("absent");
    } catch (const std::exception& error) {
        return QStringLiteral("error:") + describeException(error);
    }
}

} // namespace

class PublicIPClientTest : public QObject {
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome");

        QTest::newRow("address") << 200 << QByteArray(R"({"ip":"203.0.113.7"})") << "ip:203.0.113.7";
        QTest::newRow("extra fields ignored")
            << 200 << QByteArray(R"({"country":"NL","ip":"198.51.100.1","asn":1})") << "ip:198.51.100.1";
        QTest::newRow("IPv6 text returned unchanged")
            << 200 << QByteArray(R"({"ip":"2001:DB8::1"})") << "ip:2001:DB8::1";
        QTest::newRow("204") << 204 << QByteArray() << "absent";
        QTest::newRow("503") << 503 << QByteArray(R"({"ip":"203.0.113.7"})") << "absent";
        QTest::newRow("400") << 400 << QByteArray("bad request") << "absent";
        QTest::newRow("404") << 404 << QByteArray("not here") << "absent";
        QTest::newRow("201 is not 200") << 201 << QByteArray(R"({"ip":"203.0.113.7"})") << "absent";
        QTest::newRow("no ip") << 200 << QByteArray(R"({"address":"203.0.113.7"})")
                               << "error:ip: required key is missing";
        QTest::newRow("ip null") << 200 << QByteArray(R"({"ip":null})") << "error:ip: required value is null";
        QTest::newRow("ip not text") << 200 << QByteArray(R"({"ip":3})")
                                     << "error:ip: expected a string, found the number 3";
        QTest::newRow("not JSON") << 200 << QByteArray("203.0.113.7\n") << "error:malformed JSON";
        QTest::newRow("not an object") << 200 << QByteArray(R"(["203.0.113.7"])")
                                       << "error:expected an object, found an array";
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);

        test::ScriptedHttpServer server;
        server.route("/", {status, {}, body});
        const QString result = lookUp(server.url(QStringLiteral("/?format=json")));
        QVERIFY2(result.startsWith(outcome), qPrintable(result));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().method, QByteArray("GET"));
        QCOMPARE(server.requests().first().target, QByteArray("/?format=json"));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("path"); // empty: nothing listens
        QTest::addColumn<QString>("outcome");
        QTest::newRow("connection refused") << ""
                                            << R"(error:ConnectionRefusedError("Connection refused"))";
        QTest::newRow("answer trickling in past the timeout")
            << "/drip"
            << R"(error:TimeoutError("no complete answer within 300 ms"))";
        QTest::newRow("answer too large") << "/huge"
                                          << R"(error:UnknownContentError("answer larger than 65536 bytes"))";
        QTest::newRow("no answer within the timeout") << "/silent"
                                                      << R"(error:TimeoutError("no complete answer within 300 ms"))";
    }

    void failures()
    {
        QFETCH(QString, path);
        QFETCH(QString, outcome);
        test::ScriptedHttpServer server;
        server.route("/silent", {200, {}, "late", 60s});
        server.route("/drip", {200, {}, R"({"ip":"203.0.113.7"})", 0ms, 20ms});
        server.route("/huge", {200, {}, QByteArray(PublicIPClient::maxAnswerBytes + 1, ' ')});
        const QUrl endpoint =
            path.isEmpty() ? QUrl(QStringLiteral("http://127.0.0.1:1/?format=json")) : server.url(path);
        QCOMPARE(lookUp(endpoint), outcome);
    }

    void redirectIsFollowed()
    {
        test::ScriptedHttpServer server;
        server.route("/", {302, {{"Location", server.url("/v2?format=json").toEncoded()}}, ""});
        server.route("/v2", {200, {}, R"({"ip":"192.0.2.9"})"});
        QCOMPARE(lookUp(server.url(QStringLiteral("/?format=json"))), QStringLiteral("ip:192.0.2.9"));
    }

    // Every lookup has a session of its own: a cookie set by one answer is not sent with the next.
    void lookupsShareNothing()
    {
        test::ScriptedHttpServer server;
        server.route("/", {200, {{"Set-Cookie", "visitor=1; Path=/"}}, R"({"ip":"192.0.2.9"})"});
        QCOMPARE(lookUp(server.url(QStringLiteral("/?format=json"))), QStringLiteral("ip:192.0.2.9"));
        QCOMPARE(lookUp(server.url(QStringLiteral("/?format=json"))), QStringLiteral("ip:192.0.2.9"));
        QCOMPARE(server.requests().size(), 2);
        QVERIFY(!server.requests()[1].hasHeader("cookie"));
    }
};

QTEST_GUILESS_MAIN(PublicIPClientTest)
#include "PublicIPClientTest.moc"
