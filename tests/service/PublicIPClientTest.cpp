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

        const QByteArray address = R"({"ip":"203.0.113.7"})";
        // clang-format off
        QTest::newRow("address") << 200 << QByteArray(R"({"country":"NL","ip":"203.0.113.7"})") << "ip:203.0.113.7";
        QTest::newRow("IPv6 text unchanged") << 200 << QByteArray(R"({"ip":"2001:DB8::1"})") << "ip:2001:DB8::1";
        QTest::newRow("503") << 503 << address << "absent";
        QTest::newRow("400 is an answer") << 400 << QByteArray("bad request") << "absent";
        QTest::newRow("201 is not 200") << 201 << address << "absent";
        QTest::newRow("no ip") << 200 << QByteArray(R"({"address":"1.2.3.4"})") << "error:ip: required key is missing";
        QTest::newRow("ip not text") << 200 << QByteArray(R"({"ip":3})") << "error:ip: expected a string";
        QTest::newRow("not JSON") << 200 << QByteArray("203.0.113.7\n") << "error:malformed JSON";
        QTest::newRow("answer too large") << 200 << QByteArray(PublicIPClient::maxAnswerBytes + 1, ' ')
                                          << R"(error:UnknownContentError("answer larger than 65536 bytes"))";
        // clang-format on
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

    // No answer: a refused connection, or one that trickles in past the deadline of the whole lookup.
    void failures()
    {
        test::ScriptedHttpServer server;
        server.route("/drip", {200, {}, R"({"ip":"203.0.113.7"})", 0ms, 20ms});
        QCOMPARE(lookUp(server.url(QStringLiteral("/drip"))),
                 QStringLiteral(R"(error:TimeoutError("no complete answer within 300 ms"))"));
        QCOMPARE(lookUp(QUrl(QStringLiteral("http://127.0.0.1:1/?format=json"))),
                 QStringLiteral(R"(error:ConnectionRefusedError("Connection refused"))"));
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
