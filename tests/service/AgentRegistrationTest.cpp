// Enrolment against the reference service, and its strictness: every refusal is a ServerError body, never a crash.
#include "service/AgentRegistration.h"
#include "common/AppInfo.h"
#include "common/Await.h"
#include "common/Settings.h"
#include "service/KeyManager.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "support/OpenSSLCommand.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceCrypto.h"
#include "tools/presence-service/PresenceService.h"

#include <QNetworkAccessManager>
#include <QTcpSocket>
#include <QTest>
#include <QThreadPool>

#include <array>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;
using namespace std::chrono_literals;

namespace {

const QString registrationKey = QStringLiteral("reg-key-é");
const QString agentId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
const QDateTime start(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC);
const DeviceInformation device{QStringLiteral("ada"), AgentDeviceType::mac, QStringLiteral("C02XK0AAJGH5"),
                               QStringLiteral("Ada’s \"desk\"")};

// What a call came to: "success", "<statusCode> <message>" of a ServerError, or the error.
QString outcomeOf(const std::function<void()>& call)
{
    try {
        call();
        return QStringLiteral("success");
    } catch (const NerovaClientError& error) {
        const auto& server = error.serverError();
        return server ? QStringLiteral("%1 %2").arg(server->statusCode).arg(server->message) : error.description();
    } catch (const std::exception& error) {
        return describeException(error);
    }
}

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

    QString registration(const QUrl& base)
    {
        AgentRegistration registration(session_, base, *settings_, clock_);
        return outcomeOf([&] { await(registration.registerAgent(agentId, registrationKey, device)); });
    }

    Json registrationBody() const
    {
        return Json{
            {"agentId", toStdString(agentId)},
            {"publicKey", toStdString(KeyManager::publicKeyPEM(pair_.publicKey))},
            {"registrationKey", toStdString(registrationKey)},
            {"deviceInformation", Json::parse(R"({"localUsername":"ada","deviceType":"mac",)"
                                              "\"serialNumber\":\"C02XK0AAJGH5\",\"name\":\"Ada’s \\\"desk\\\"\"}")},
            {"agentInformation", {{"fingerprintVersion", 0}, {"agentVersion", toStdString(appVersion())}}}};
    }

    void post(const QString& path, const QByteArray& body, const QString& key = registrationKey)
    {
        NerovaClient client(session_, service_->baseUrl());
        await(client.postData(path, body, {{QStringLiteral("x-nerova-agent-registrationkey"), key}}, {}));
    }

    // A registration without its completion: the service's record holds what it sent encrypted.
    AgentRecord registerOnly()
    {
        post(QStringLiteral("/registration"), QByteArray::fromStdString(registrationBody().dump()));
        return service_->agents().value(agentId);
    }

    void complete(const AgentRecord& agent, const QString& nonce)
    {
        NerovaAuthenticatedClient client(session_, service_->baseUrl(), agent.secret, clock_);
        await(client.postSignedData(u'/' + agentId + QStringLiteral("/complete-registration"),
                                    QByteArray::fromStdString(Json{{"nonce", toStdString(nonce)}}.dump()),
                                    agent.projectId, agent.instanceId));
    }

    void startService(const std::function<void(PresenceServiceConfig&)>& tweak = {})
    {
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        if (tweak) {
            tweak(config);
        }
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")));
        startService();
    }

    // Ends the key-pair threads, so that their OpenSSL state is released before the leak checker looks.
    void cleanupTestCase() { QThreadPool::globalInstance()->waitForDone(); }

    void failedCompletionLeavesTheAgentUnregistered()
    {
        service_->setStatus(u'/' + agentId + QStringLiteral("/complete-registration"), 500);
        QCOMPARE(registration(service_->baseUrl()),
                 QStringLiteral("500 fault injected for /%1/complete-registration").arg(agentId));
        QVERIFY(!settings_->flag(QString::fromLatin1(settingskey::isRegistered)));
        QVERIFY(!service_->agents().value(agentId).completed);
    }

    void unusableAnswers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QByteArray block = QByteArray(256, 'x').toBase64();
        const auto payload = [](const QByteArray& text) { return "{\"payload\":\"" + text + "\"}"; };
        QTest::newRow("empty 200") << QByteArray() << "noResponseError";
        // The length stays a multiple of four: only the line break itself is wrong.
        QTest::newRow("line break in payload")
            << payload(block.left(64) + "\\r\\n" + block.mid(66)) << "noResponseError";
        QTest::newRow("missing padding") << payload(block.chopped(2)) << "noResponseError";
        QTest::newRow("wrong block") << payload(block) << "decryptionError";
        QTest::newRow("no payload") << QByteArray("{}") << "payload: required key is missing";
    }

    // Each answer ends the registration after its first call, which shows the request on the wire.
    void unusableAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue({200, {}, body});
        const QString failure = registration(server.url(QStringLiteral("/api")));
        QVERIFY2(failure.startsWith(expected), qPrintable(failure));

        QCOMPARE(server.requests().size(), 1); // no completion call
        const RecordedRequest& sent = server.requests()[0];
        QCOMPARE(sent.target, QByteArray("/api/registration?"));
        QVERIFY(!sent.hasHeader("x-nerova-agent-timestamp") && !sent.hasHeader("x-nerova-agent-hash"));
        Json sentBody = parseJson(sent.body);
        // The reference service refuses any other PEM layout; not another exponent.
        const QString pem = fromStdString(sentBody.at("publicKey"));
        QVERIFY2(pem.size() == 456 && pem.endsWith(QLatin1String("IDAQAB\n-----END PUBLIC KEY-----")), qPrintable(pem));
        sentBody["publicKey"] = registrationBody().at("publicKey"); // the records in field order, the key aside
        QCOMPARE(QString::fromStdString(sentBody.dump()), QString::fromStdString(registrationBody().dump()));
        QCOMPARE(QString::fromUtf8(sent.header("x-nerova-agent-registrationkey")), registrationKey);
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
        const QByteArray longest = QByteArray("\0\0a\0", 4) + QByteArray(241, '\xfe'); // zero bytes kept too
        QTest::newRow("245 bytes, the limit") << encryptWithOpenSSL(pair_, longest) << longest;
        QTest::newRow("255 bytes, leading zero byte left out") << block.mid(1) << QByteArray();
        QTest::newRow("block for another key")
            << encryptWithOpenSSL(KeyManager::createKeyPair(QStringLiteral("other")), "secret") << QByteArray();
    }

    void decryptPayload()
    {
        QFETCH(QByteArray, ciphertext);
        QFETCH(QByteArray, plaintext);
        QVERIFY(!ciphertext.startsWith("<openssl failed>"));
        QByteArray decrypted;
        const QString outcome =
            outcomeOf([&] { decrypted = KeyManager::decryptPayload(ciphertext, pair_.privateKey); });
        QVERIFY2(outcome.startsWith(plaintext.isEmpty() ? "decryptionError" : "success"), qPrintable(outcome));
        QCOMPARE(decrypted, plaintext);
    }

    void refusedPosts_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("headerKey");
        QTest::addColumn<QString>("expected");
        Json body = registrationBody();
        const auto changed = [&](const char* pointer, const QString& value) {
            Json copy = body;
            copy[Json::json_pointer(pointer)] = toStdString(value);
            return QByteArray::fromStdString(copy.dump());
        };
        const QString lfPem =
            KeyManager::publicKeyPEM(pair_.publicKey).replace(QLatin1String("\r\n"), QLatin1String("\n"));
        const auto row = [](const char* name, const QByteArray& body, const char* expected,
                            const QString& key = registrationKey, const QString& path = "/registration") {
            QTest::newRow(name) << path << body << key << QString::fromUtf8(expected);
        };
        // clang-format off
        row("wrong key header", QByteArray::fromStdString(body.dump()), "401 registration key refused", "other");
        row("body key differs", changed("/registrationKey", "other"), "400 registrationKey: differs from the x-nerova-agent-registrationkey header");
        row("agent id upper case", changed("/agentId", agentId.toUpper()), "400 agentId: a lower-case UUID is required");
        row("PEM with LF lines", changed("/publicKey", lfPem), "400 publicKey: Base64 line 1 is 398 characters (64 per line, CR LF between lines)");
        body.erase("deviceInformation");
        row("no device information", QByteArray::fromStdString(body.dump()), "400 malformed request: deviceInformation: required key is missing");
        row("not JSON", "{\"agentId\":", "400 body is not JSON: malformed JSON");
        row("JSON array", "[]", "400 body is not a JSON object");
        row("unknown path", "{}", "404 no such resource", registrationKey, "/nothing");
        // clang-format on
    }

    void refusedPosts()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, headerKey);
        QFETCH(QString, expected);
        const QString outcome = outcomeOf([&] { post(path, body, headerKey); });
        QVERIFY2(outcome.startsWith(expected), qPrintable(outcome));
        QVERIFY(service_->agents().isEmpty());
    }

    void refusedSignedCalls_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("unknown agent") << "agent" << "412 unknown agent 11111111-2222-4333-8444-555555555555";
        QTest::newRow("wrong secret") << "secret" << "401 x-nerova-agent-hash: signature mismatch";
        QTest::newRow("wrong project") << "project" << "403 query must be projectId and instanceId of this agent, in that order";
        QTest::newRow("clock 10 minutes off") << "clock" << "401 x-nerova-agent-timestamp: 600 seconds away from the service's clock";
        QTest::newRow("check-in before completion") << "incomplete" << "412 unknown agent " + agentId;
        // clang-format on
    }

    void refusedSignedCalls()
    {
        QFETCH(QString, fault);
        QFETCH(QString, expected);
        AgentRecord agent = registerOnly();
        if (fault != u"incomplete") {
            complete(agent, agent.nonce);
        }
        const QString id = fault == u"agent" ? QStringLiteral("11111111-2222-4333-8444-555555555555") : agentId;
        agent.secret += fault == u"secret" ? "x" : "";
        agent.projectId = fault == u"project" ? QStringLiteral("other") : agent.projectId;
        ManualClock agentClock(start.addSecs(fault == u"clock" ? -600 : 0));
        NerovaCheckinClient client(session_, service_->baseUrl(), agent.secret, agentClock);
        const AgentCheckinRequest request{0, QStringLiteral("0.1.0"), true};
        QCOMPARE(outcomeOf([&] { await(client.postCheckin(id, request, agent.projectId, agent.instanceId)); }),
                 expected);
        QVERIFY(service_->checkins().isEmpty());
    }

    void nonceIsCheckedAndUsedOnce()
    {
        const AgentRecord agent = registerOnly();
        const QString refused = QStringLiteral("401 nonce: does not match the registration");
        QCOMPARE(outcomeOf([&] { complete(agent, QStringLiteral("guess")); }), refused);
        QVERIFY(!service_->agents().value(agentId).completed);
        QCOMPARE(outcomeOf([&] { complete(agent, agent.nonce); }), QStringLiteral("success"));
        QCOMPARE(outcomeOf([&] { complete(agent, agent.nonce); }), refused);
    }

    void rawRequests_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("held");          // idle connections opened before, of at most 2
        QTest::addColumn<QByteArray>("answer"); // "": closed unanswered
        const auto row = [](const char* name, const QByteArray& bytes, int status, int held = 0) {
            QTest::newRow(name) << bytes << held << (status ? "HTTP/1.1 " + QByteArray::number(status) + ' ' : "");
        };
        const QByteArray get("GET / HTTP/1.1\r\n\r\n");
        // clang-format off
        row("TLS hello", "\x16\x03\x01 not HTTP at all\r\n\r\n", 400);
        row("negative length", "POST /registration HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400);
        row("LF in a header value", "GET / HTTP/1.1\r\nHost: a\nb\r\n\r\n", 400);
        row("websocket upgrade", "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", 400);
        row("registration body of 300 MB", "POST /registration HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n{", 413);
        row("check-in body over 1 MiB", "POST /a/check-in HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n{", 413);
        row("chunked body", "POST /registration HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\n{\r\n", 411);
        row("path of 1 MB", "GET /" + QByteArray(1 << 20, 'a') + " HTTP/1.1\r\n\r\n", 431);
        row("idle: nothing sent", "", 0);
        row("idle: half a request head", "GET / HTTP/1.1\r\n", 0);
        row("answer held past the idle time", get, 200);
        row("past the connection cap", get, 0, 2);
        // clang-format on
    }

    // One answer, then the connection closes; idle ones close, past the cap at once; serving goes on.
    void rawRequests()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, held);
        QFETCH(QByteArray, answer);
        startService([](PresenceServiceConfig& config) {
            config.limits.maxConnections = 2;
            config.limits.idleTimeout = 200ms;
        });
        service_->setDelay(QStringLiteral("/"), 600ms);
        std::array<QTcpSocket, 3> sockets; // the held ones, then the one that sends
        for (int i = 2 - held; i < 3; ++i) {
            sockets[i].connectToHost(QHostAddress::LocalHost, service_->serverPorts().first());
            QVERIFY(sockets[i].waitForConnected(5000));
        }
        QTcpSocket& socket = sockets[2];
        socket.write(bytes);
        QByteArray received;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
        const bool closed = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
        received += socket.readAll();
        QVERIFY2(closed && received.startsWith(answer), received.left(200).constData());
        QCOMPARE(received.count("HTTP/1.1 "), answer.isEmpty() ? 0 : 1);
        QTRY_VERIFY(sockets[0].state() == QAbstractSocket::UnconnectedState &&
                    sockets[1].state() == QAbstractSocket::UnconnectedState);
        QCOMPARE(outcomeOf([&] { registerOnly(); }), QStringLiteral("success"));
    }

    void refusalsAreBounded()
    {
        startService([](PresenceServiceConfig& config) { config.keptRecords = 3; });
        for (int i = 0; i < 5; ++i) {
            outcomeOf([&] { post(QStringLiteral("/%1/").arg(i) + QString(8000, u'x'), "{}"); });
        }
        QCOMPARE(service_->refusals().size(), 3);
        QVERIFY(service_->refusals().last().startsWith(QStringLiteral("/4/xxx")));
        for (const QString& refusal : service_->refusals()) {
            QCOMPARE(refusal.size(), PresenceService::maxRefusalChars);
        }
    }
};

QTEST_GUILESS_MAIN(AgentRegistrationTest)
#include "AgentRegistrationTest.moc"
