#include "service/NerovaAuthenticatedClient.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaPresenceClient.h"
#include "common/Await.h"
#include "support/ScriptedHttpServer.h"

#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QTest>

using namespace nerova;
using namespace nerova::test;

namespace {

QByteArray repeated(char byte, int count) { return QByteArray(count, byte); }

// An independent HMAC for checking what the client sent.
QByteArray expectedHash(const QString& secret, const RecordedRequest& request)
{
    return QMessageAuthenticationCode::hash(request.body + request.header("x-nerova-agent-timestamp"), secret.toUtf8(),
                                            QCryptographicHash::Sha256)
        .toHex();
}

const QDateTime reportTime = QDateTime::fromString(QStringLiteral("2024-01-31T08:15:00.750Z"), Qt::ISODateWithMs);

} // namespace

class NerovaAuthenticatedClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;

private slots:
    void rfc4231_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("mac");

        QTest::newRow("case 1") << repeated('\x0b', 20) << QByteArray("Hi There")
            << "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7";
        QTest::newRow("case 2") << QByteArray("Jefe") << QByteArray("what do ya want for nothing?")
            << "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
        QTest::newRow("case 3") << repeated('\xaa', 20) << repeated('\xdd', 50)
            << "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe";
        QTest::newRow("case 4") << QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819")
            << repeated('\xcd', 50) << "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b";
        QTest::newRow("case 6") << repeated('\xaa', 131)
            << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
            << "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54";
        QTest::newRow("case 7") << repeated('\xaa', 131)
            << QByteArray("This is a test using a larger than block-size key and a larger than block-size data. "
                          "The key needs to be hashed before being used by the HMAC algorithm.")
            << "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2";
        QTest::newRow("empty key and data") << QByteArray() << QByteArray()
            << "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad";
        // clang-format on
    }

    void rfc4231()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, data);
        QFETCH(QString, mac);
        QCOMPARE(hexString(hmacSHA256(key, data)), mac);
    }

    void requestHashAppendsTheTimestampDigits_data()
    {
        // clang-format off
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("body");
        QTest::addColumn<qint64>("timestamp");
        QTest::addColumn<QString>("hash");

        QTest::newRow("completion body") << "secret" << R"({"nonce":"abc"})" << qint64(1706688900)
            << "d8dfbcf164e60f6cc9cc1d467872878c032fe5197eebfb5c5155729db31bfc31";
        QTest::newRow("non-ASCII secret and body") << QStringLiteral("sécret-ключ") << QStringLiteral(R"({"a":"é"})")
            << qint64(1700000000) << "5619eea3705a1f4eb39acfd937218492d64533dbd025b62aff98d7d9e0cdb408";
        // clang-format on
    }

    void requestHashAppendsTheTimestampDigits()
    {
        QFETCH(QString, secret);
        QFETCH(QString, body);
        QFETCH(qint64, timestamp);
        QFETCH(QString, hash);
        QCOMPARE(requestHash(secret, body, timestamp), hash);
        QVERIFY(requestHash(secret, body, timestamp + 1) != hash);
        QVERIFY(requestHash(secret, body + u' ', timestamp) != hash);
    }

    void hexStringIsLowerCaseAndPadded()
    {
        QCOMPARE(hexString(QByteArray()), QString());
        QCOMPARE(hexString(QByteArray::fromHex("000fa0ff")), QStringLiteral("000fa0ff"));
    }

    void presenceReportIsSignedOverTheBytesSent()
    {
        ScriptedHttpServer server;
        server.enqueue({200, {}, "{}"});
        server.enqueue({204, {}, {}});
        server.enqueue({204, {}, {}});
        ManualClock clock(reportTime);
        const QString secret = QStringLiteral("s3cret-é");
        NerovaPresenceClient client(session_, server.url(QStringLiteral("/v1")), secret, clock);
        const AgentPresenceRequest report{reportTime, QStringLiteral("fp-1"), 7,
                                          LocationPoint{QStringLiteral("loc"), std::nullopt, QStringLiteral("z"), {}}};
        const QString agent = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
        const QString project = QStringLiteral("p 1");
        const QString instance = QStringLiteral("i&1");

        QVERIFY(await(client.postPresence(agent, report, project, instance)).has_value());
        QVERIFY(!await(client.postPresence(agent, report, project, instance)).has_value());
        clock.advance(1000);
        await(client.postPresence(agent, report, project, instance));

        const QList<RecordedRequest>& requests = server.requests();
        QCOMPARE(requests.size(), 3);
        const RecordedRequest& first = requests[0];
        QCOMPARE(first.target, "/v1/" + agent.toLatin1() + "/presence?projectId=p%201&instanceId=i%261");
        QCOMPARE(first.body,
                 QByteArray(R"({"timestamp":"2024-01-31T08:15:00Z","fingerprintId":"fp-1",)"
                            R"("fingerprintVersion":7,"locationPoint":{"locationId":"loc","zoneId":"z"}})"));
        QCOMPARE(first.header("x-nerova-agent-timestamp"), QByteArray("1706688900"));
        QCOMPARE(first.header("x-nerova-agent-hash"), expectedHash(secret, first));
        QCOMPARE(first.header("content-type"), QByteArray("application/json"));
        // Same body in the same second: same hash; one second later: another.
        QCOMPARE(requests[1].header("x-nerova-agent-hash"), first.header("x-nerova-agent-hash"));
        QCOMPARE(requests[2].header("x-nerova-agent-timestamp"), QByteArray("1706688901"));
        QCOMPARE(requests[2].header("x-nerova-agent-hash"), expectedHash(secret, requests[2]));
        QVERIFY(requests[2].header("x-nerova-agent-hash") != first.header("x-nerova-agent-hash"));
    }

    void checkinRequestOnTheWire()
    {
        ScriptedHttpServer server;
        // (No raw string here: moc reads "//" inside one as a comment.)
        server.enqueue(
            {200,
             {},
             "{\"fingerprintFileUrl\":\"https://files/f.json\",\"urlExpiresAt\":800000000,\"enableDebug\":true}"});
        ManualClock clock(reportTime);
        NerovaCheckinClient client(session_, server.url(), QStringLiteral("k"), clock);
        const AgentCheckinRequest request{3, QStringLiteral("1.2.0"), true};
        const std::optional<AgentCheckinResponse> answer =
            await(client.postCheckin(QStringLiteral("agent"), request, QStringLiteral("p"), QStringLiteral("i")));
        QVERIFY(answer);
        QCOMPARE(answer->fingerprintFileUrl, std::optional<QString>(QStringLiteral("https://files/f.json")));
        QCOMPARE(answer->urlExpiresAt, std::optional<qint64>(800000000));
        const RecordedRequest& sent = server.requests().at(0);
        QCOMPARE(sent.target, QByteArray("/agent/check-in?projectId=p&instanceId=i"));
        QCOMPARE(sent.body, QByteArray(R"({"fingerprintVersion":3,"agentVersion":"1.2.0","requestNewUrl":true})"));
        QCOMPARE(sent.header("x-nerova-agent-hash"), expectedHash(QStringLiteral("k"), sent));
    }

    void checkinAnswers_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected"); // url|expiry|debug, "-" for absent; "error" when it does not decode

        QTest::newRow("empty object") << QByteArray("{}") << "error";
        QTest::newRow("only enableDebug") << QByteArray(R"({"enableDebug":false})") << "-|-|false";
        QTest::newRow("null expiry")
            << QByteArray( R"({"fingerprintFileUrl":"u","urlExpiresAt":null,"enableDebug":true})") << "u|-|true";
        QTest::newRow("both") << QByteArray(R"({"fingerprintFileUrl":"u","urlExpiresAt":5,"enableDebug":false})")
            << "u|5|false";
        QTest::newRow("expiry as text") << QByteArray(R"({"urlExpiresAt":"5","enableDebug":false})") << "error";
        QTest::newRow("expiry fractional") << QByteArray(R"({"urlExpiresAt":5.5,"enableDebug":false})") << "error";
        QTest::newRow("debug as text") << QByteArray(R"({"enableDebug":"true"})") << "error";
        QTest::newRow("url as number") << QByteArray(R"({"fingerprintFileUrl":1,"enableDebug":true})") << "error";
        // clang-format on
    }

    void checkinAnswers()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        QString result;
        try {
            const AgentCheckinResponse response = AgentCheckinResponse::fromJson(parseJson(json), {});
            result = response.fingerprintFileUrl.value_or(QStringLiteral("-")) + u'|' +
                     (response.urlExpiresAt ? QString::number(*response.urlExpiresAt) : QStringLiteral("-")) + u'|' +
                     (response.enableDebug ? QStringLiteral("true") : QStringLiteral("false"));
        } catch (const JsonDecodeError&) {
            result = QStringLiteral("error");
        }
        QCOMPARE(result, expected);
    }
};

QTEST_GUILESS_MAIN(NerovaAuthenticatedClientTest)
#include "NerovaAuthenticatedClientTest.moc"
