#include "service/NerovaAuthenticatedClient.h"
#include "common/Await.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaPresenceClient.h"
#include "support/ScriptedHttpServer.h"

#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QTest>

using namespace nerova;
using namespace nerova::test;

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

        QTest::newRow("case 2: key shorter than a block") << QByteArray("Jefe")
            << QByteArray("what do ya want for nothing?")
            << "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
        QTest::newRow("case 6: key longer than a block") << QByteArray(131, '\xaa')
            << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
            << "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54";
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

    void signedRequestOnTheWire_data()
    {
        // clang-format off
        QTest::addColumn<bool>("presence"); // else check-in
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body");
        const QByteArray query = "?projectId=p%201&instanceId=i%261";
        // The report's time has a fraction of a second, which neither the body nor the header keeps.
        QTest::newRow("presence") << true << "/v1/0f8fad5b-d9cb-469f-a165-70867728950e/presence" + query
            << QByteArray(R"({"timestamp":"2024-01-31T08:15:00Z","fingerprintId":"fp-1",)"
                          R"("fingerprintVersion":7,"locationPoint":{"locationId":"loc","zoneId":"z"}})");
        QTest::newRow("check-in") << false << "/v1/0f8fad5b-d9cb-469f-a165-70867728950e/check-in" + query
            << QByteArray(R"({"fingerprintVersion":3,"agentVersion":"1.2.0","requestNewUrl":true})");
        // clang-format on
    }

    void signedRequestOnTheWire()
    {
        QFETCH(bool, presence);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        ScriptedHttpServer server;
        server.enqueue({204, {}, {}});
        const QDateTime time = QDateTime::fromString(QStringLiteral("2024-01-31T08:15:00.750Z"), Qt::ISODateWithMs);
        const ManualClock clock(time);
        const QString secret = QStringLiteral("s3cret-é");
        const QString agent = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
        const QString project = QStringLiteral("p 1");
        const QString instance = QStringLiteral("i&1");
        if (presence) {
            NerovaPresenceClient client(session_, server.url(QStringLiteral("/v1")), secret, clock);
            const AgentPresenceRequest report{
                time, QStringLiteral("fp-1"), 7,
                LocationPoint{QStringLiteral("loc"), std::nullopt, QStringLiteral("z"), {}}};
            await(client.postPresence(agent, report, project, instance));
        } else {
            NerovaCheckinClient client(session_, server.url(QStringLiteral("/v1")), secret, clock);
            await(client.postCheckin(agent, AgentCheckinRequest{3, QStringLiteral("1.2.0"), true}, project, instance));
        }
        const RecordedRequest& sent = server.requests().at(0);
        QCOMPARE(sent.target, target);
        QCOMPARE(sent.body, body);
        QCOMPARE(sent.header("x-nerova-agent-timestamp"), QByteArray("1706688900"));
        // An independent HMAC over the bytes that arrived.
        QCOMPARE(sent.header("x-nerova-agent-hash"),
                 QMessageAuthenticationCode::hash(sent.body + "1706688900", secret.toUtf8(), QCryptographicHash::Sha256)
                     .toHex());
    }
};

QTEST_GUILESS_MAIN(NerovaAuthenticatedClientTest)
#include "NerovaAuthenticatedClientTest.moc"
