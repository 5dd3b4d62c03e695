// Enrolment: the key pair, the registration conversation and the records it sends.
#include "service/AgentRegistration.h"
#include "common/AppInfo.h"
#include "common/Await.h"
#include "common/Settings.h"
#include "service/AgentInformation.h"
#include "service/KeyManager.h"
#include "service/NerovaCheckinClient.h"
#include "support/OpenSSLCommand.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceCrypto.h"
#include "tools/presence-service/PresenceService.h"

#include <QNetworkAccessManager>
#include <QTest>
#include <QThreadPool>
#include <QTimeZone>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;

namespace {

const QString registrationKey = QStringLiteral("reg-key-é");
const QString agentId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
const QString isRegistered = QString::fromLatin1(settingskey::isRegistered);
const QDateTime start(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC);
const DeviceInformation device{QStringLiteral("ada"), AgentDeviceType::mac, QStringLiteral("C02XK0AAJGH5"),
                               QStringLiteral("Ada’s \"desk\"")};

} // namespace

class AgentRegistrationTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;
    ManualClock clock_{start};
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<PresenceService> service_;
    const KeyPair pair_ = KeyManager::createKeyPair(QString::fromLatin1(KeyManager::registrationTag));
    QTemporaryDir keyDir_;

    // `plaintext` encrypted by openssl with PKCS#1 v1.5 padding for the public key of `pair`.
    QByteArray encryptWithOpenSSL(const KeyPair& pair, const QByteArray& plaintext)
    {
        const QString pem =
            writeFile(keyDir_, QStringLiteral("key.pem"), KeyManager::publicKeyPEM(pair.publicKey).toLatin1());
        const QString plain = writeFile(keyDir_, QStringLiteral("plain.bin"), plaintext);
        return openssl(QStringLiteral("pkeyutl -encrypt -pubin -inkey %1 -pkeyopt rsa_padding_mode:pkcs1 -in %2")
                           .arg(pem, plain)
                           .split(u' '));
    }

    QString registrationFailure(const QUrl& base)
    {
        AgentRegistration registration(session_, base, *settings_, clock_);
        try {
            await(registration.registerAgent(agentId, registrationKey, device));
            return QStringLiteral("success");
        } catch (const std::exception& error) {
            return describeException(error);
        }
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")));
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
    }

    // Ends the key-pair threads, so that their OpenSSL state is released before the leak checker looks.
    void cleanupTestCase() { QThreadPool::globalInstance()->waitForDone(); }

    // Against the reference service, which verifies every signature; the agent tests go on from here.
    void enrolAndCheckIn()
    {
        AgentRegistration registration(session_, service_->baseUrl(), *settings_, clock_);
        const AgentCredentials credentials = await(registration.registerAgent(agentId, registrationKey, device));
        QVERIFY(settings_->flag(isRegistered));
        const AgentRecord record = service_->agents().value(agentId);
        QVERIFY(record.completed);
        QCOMPARE(QStringList({credentials.secret, credentials.projectId, credentials.instanceId}),
                 QStringList({record.secret, record.projectId, record.instanceId}));

        NerovaCheckinClient checkin(session_, service_->baseUrl(), credentials.secret, clock_);
        const std::optional<AgentCheckinResponse> answer = await(checkin.postCheckin(
            agentId, AgentCheckinRequest{0, appVersion(), true}, credentials.projectId, credentials.instanceId));
        QVERIFY(answer && answer->fingerprintFileUrl && answer->urlExpiresAt);
        // An hour from now, in seconds since 2001-01-01 UTC.
        QCOMPARE(*answer->urlExpiresAt, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).secsTo(start) + 3600);
        QVERIFY2(service_->refusals().isEmpty(), qPrintable(service_->refusals().join(u'\n')));
    }

    void failedCompletionLeavesTheAgentUnregistered()
    {
        service_->setStatus(u'/' + agentId + QStringLiteral("/complete-registration"), 500);
        QCOMPARE(
            registrationFailure(service_->baseUrl()),
            QStringLiteral("serverError(statusCode: 500, message: \"fault injected for /%1/complete-registration\")")
                .arg(agentId));
        QVERIFY(!settings_->flag(isRegistered));
        QVERIFY(!service_->agents().value(agentId).completed);
    }

    void unusableAnswers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QByteArray block = QByteArray(256, 'x').toBase64();
        QTest::newRow("empty 200") << QByteArray() << "noResponseError";
        // The length stays a multiple of four: only the line break itself is wrong.
        QTest::newRow("line break in payload") << "{\"payload\":\"" + block.left(64) + "\\r\\n" + block.mid(66) + "\"}"
                                               << "noResponseError";
        QTest::newRow("missing padding") << "{\"payload\":\"" + block.chopped(2) + "\"}"
                                         << "noResponseError";
        QTest::newRow("wrong block") << "{\"payload\":\"" + block + "\"}"
                                     << "decryptionError";
        QTest::newRow("no payload") << QByteArray("{}") << "payload: required key is missing";
    }

    // Each answer ends the registration after its first call, which shows the request on the wire.
    void unusableAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue({200, {}, body});
        const QString failure = registrationFailure(server.url(QStringLiteral("/api")));
        QVERIFY2(failure.startsWith(expected), qPrintable(failure));
        QVERIFY(!settings_->flag(isRegistered));

        QCOMPARE(server.requests().size(), 1); // no completion call
        const RecordedRequest& sent = server.requests()[0];
        QCOMPARE(sent.target, QByteArray("/api/registration?"));
        QVERIFY(!sent.hasHeader("x-nerova-agent-timestamp") && !sent.hasHeader("x-nerova-agent-hash"));
        Json sentBody = parseJson(sent.body);
        QCOMPARE(fromStdString(sentBody.at("publicKey")).size(), 456);
        sentBody.erase("publicKey");
        // The records byte for byte, in field order.
        QCOMPARE(QString::fromStdString(sentBody.dump()),
                 QStringLiteral(R"({"agentId":"%1","registrationKey":"reg-key-é","deviceInformation":{)"
                                R"("localUsername":"ada","deviceType":"mac","serialNumber":"C02XK0AAJGH5",)"
                                "\"name\":\"Ada’s \\\"desk\\\"\"},\"agentInformation\":{\"fingerprintVersion\":0,"
                                R"("agentVersion":"%2"}})")
                     .arg(agentId, appVersion()));
        QCOMPARE(QString::fromUtf8(sent.header("x-nerova-agent-registrationkey")), registrationKey);
    }

    // The reference service refuses any other PEM layout (enrolAndCheckIn); not another exponent.
    void pemHoldsExponent65537()
    {
        QVERIFY(KeyManager::publicKeyPEM(pair_.publicKey).endsWith(QLatin1String("IDAQAB\n-----END PUBLIC KEY-----")));
    }

    void decryptPayload_data()
    {
        QTest::addColumn<QByteArray>("ciphertext");
        QTest::addColumn<QByteArray>("plaintext"); // "": decryptionError
        // A valid block with its leading zero byte left out: OpenSSL alone would decrypt it.
        const std::shared_ptr<EVP_PKEY> key = parsePublicKey(KeyManager::publicKeyPEM(pair_.publicKey));
        QByteArray block;
        while (!block.startsWith('\0')) {
            block = encryptPKCS1(key.get(), "secret");
        }
        const QByteArray longest(245, '\xfe');
        const QByteArray zeros("\0\0a\0", 4);
        QTest::newRow("245 bytes, the limit") << encryptWithOpenSSL(pair_, longest) << longest;
        QTest::newRow("zero bytes inside") << encryptWithOpenSSL(pair_, zeros) << zeros;
        QTest::newRow("255 bytes, leading zero byte left out") << block.mid(1) << QByteArray();
        QTest::newRow("block for another key")
            << encryptWithOpenSSL(KeyManager::createKeyPair(QStringLiteral("other")), "secret") << QByteArray();
    }

    void decryptPayload()
    {
        QFETCH(QByteArray, ciphertext);
        QFETCH(QByteArray, plaintext);
        QVERIFY(!ciphertext.startsWith("<openssl failed>"));
        try {
            QCOMPARE(KeyManager::decryptPayload(ciphertext, pair_.privateKey), plaintext);
            QVERIFY(!plaintext.isEmpty());
        } catch (const KeyManagerError& error) {
            QVERIFY(plaintext.isEmpty());
            QCOMPARE(error.errorCase(), KeyManagerError::Case::decryptionError);
        }
    }

    // After a check-in the record carries its time, in UTC whole seconds.
    void agentInformationWithCheckin()
    {
        const AgentInformation checkedIn{QDateTime(QDate(2024, 1, 31), QTime(9, 15, 0, 999), QTimeZone(3600)),
                                         9007199254740993LL, QStringLiteral("Unknown")};
        QCOMPARE(QByteArray::fromStdString(checkedIn.toJson().dump()),
                 QByteArray(R"({"lastCheckin":"2024-01-31T08:15:00Z","fingerprintVersion":9007199254740993,)"
                            R"("agentVersion":"Unknown"})"));
    }
};

QTEST_GUILESS_MAIN(AgentRegistrationTest)
#include "AgentRegistrationTest.moc"
