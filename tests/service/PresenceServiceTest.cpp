// The reference service's strictness: every refusal is a ServerError body, never a crash. The
// conversation of a well-behaved agent is in AgentRegistrationTest.
#include "tools/presence-service/PresenceService.h"
#include "common/Await.h"
#include "service/KeyManager.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "support/OpenSSLCommand.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <array>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;

namespace {

const QString registrationKey = QStringLiteral("reg-key-1");
const QString agentId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
const QDateTime start(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC);

// What a call came to: "success", "<statusCode> <message>" of a ServerError, or the error.
QString outcomeOf(const std::function<void()>& call)
{
    try {
        call();
        return QStringLiteral("success");
    } catch (const NerovaClientError& error) {
        return error.serverError()
                   ? QStringLiteral("%1 %2").arg(error.serverError()->statusCode).arg(error.serverError()->message)
                   : error.description();
    } catch (const std::exception& error) {
        return describeException(error);
    }
}

} // namespace

class PresenceServiceTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;
    QTemporaryDir dir_;
    ManualClock clock_{start};
    std::unique_ptr<PresenceService> service_;
    QString pem_;

    Json registrationBody() const
    {
        return Json{{"agentId", toStdString(agentId)},
                    {"publicKey", toStdString(pem_)},
                    {"registrationKey", toStdString(registrationKey)},
                    {"deviceInformation",
                     {{"localUsername", "ada"}, {"deviceType", "mac"}, {"serialNumber", "unknown"}, {"name", "desk"}}},
                    {"agentInformation", {{"fingerprintVersion", 0}, {"agentVersion", "0.1.0"}}}};
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

private slots:
    void initTestCase()
    {
        pem_ = KeyManager::publicKeyPEM(KeyManager::createKeyPair(QStringLiteral("test")).publicKey);
    }

    static PresenceServiceConfig testConfig()
    {
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        return config;
    }

    void startService(const PresenceServiceConfig& config)
    {
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
    }

    // Sends raw bytes on a new connection; everything the service sent until it closed the connection.
    QByteArray exchange(const QByteArray& bytes)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, service_->serverPorts().first());
        if (!socket.waitForConnected(5000)) {
            return "not connected";
        }
        socket.write(bytes);
        QByteArray received;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000)) {
            return received + "<still open>";
        }
        return received + socket.readAll();
    }

    void init() { startService(testConfig()); }

    void cleanup() { service_.reset(); }

    void refusedPosts_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("headerKey");
        QTest::addColumn<QString>("expected");

        Json body = registrationBody();
        const auto bytes = [&] { return QByteArray::fromStdString(body.dump()); };
        const auto changed = [&](const char* pointer, const QString& value) {
            Json copy = body;
            copy[Json::json_pointer(pointer)] = toStdString(value);
            return QByteArray::fromStdString(copy.dump());
        };
        const QString key = registrationKey;
        const QString lfPem = QString(pem_).replace(QLatin1String("\r\n"), QLatin1String("\n"));
        QTest::newRow("wrong key header") << "/registration" << bytes() << "other" << "401 registration key refused";
        QTest::newRow("body key differs") << "/registration" << changed("/registrationKey", "other") << key
            << "400 registrationKey: differs from the x-nerova-agent-registrationkey header";
        QTest::newRow("agent id upper case") << "/registration" << changed("/agentId", agentId.toUpper()) << key
            << "400 agentId: a lower-case UUID is required";
        QTest::newRow("PEM with LF lines") << "/registration" << changed("/publicKey", lfPem) << key
            << "400 publicKey: Base64 line 1 is 398 characters (64 per line, CR LF between lines)";
        body.erase("deviceInformation");
        QTest::newRow("no device information") << "/registration" << bytes() << key
            << "400 malformed request: deviceInformation: required key is missing";
        QTest::newRow("not JSON") << "/registration" << QByteArray("{\"agentId\":") << key
            << "400 body is not JSON: malformed JSON";
        QTest::newRow("JSON array") << "/registration" << QByteArray("[]") << key << "400 body is not a JSON object";
        QTest::newRow("unknown path") << "/nothing" << QByteArray("{}") << key << "404 no such resource";
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
        // clang-format off
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unknown agent") << "agent" << "412 unknown agent 11111111-2222-4333-8444-555555555555";
        QTest::newRow("wrong secret") << "secret" << "401 x-nerova-agent-hash: signature mismatch";
        QTest::newRow("wrong project") << "project"
            << "403 query must be projectId and instanceId of this agent, in that order";
        QTest::newRow("clock 10 minutes off") << "clock"
            << "401 x-nerova-agent-timestamp: 600 seconds away from the service's clock";
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
        QString id = agentId;
        ManualClock agentClock(start);
        if (fault == u"agent") {
            id = QStringLiteral("11111111-2222-4333-8444-555555555555");
        } else if (fault == u"secret") {
            agent.secret += u'x';
        } else if (fault == u"project") {
            agent.projectId = QStringLiteral("other");
        } else if (fault == u"clock") {
            agentClock.advance(-600'000);
        }
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

    void rawRequestsGetOneAnswer_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("status");
        QTest::newRow("TLS hello") << QByteArray("\x16\x03\x01 not HTTP at all\r\n\r\n") << 400;
        QTest::newRow("negative length") << QByteArray("POST /registration HTTP/1.1\r\nContent-Length: -5\r\n\r\n")
            << 400;
        QTest::newRow("LF in a header value") << QByteArray("GET / HTTP/1.1\r\nHost: a\nb\r\n\r\n") << 400;
        QTest::newRow("websocket upgrade")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n") << 400;
        QTest::newRow("registration body of 300 MB")
            << QByteArray("POST /registration HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n{") << 413;
        QTest::newRow("check-in body over 1 MiB")
            << QByteArray("POST /a/check-in HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n{") << 413;
        QTest::newRow("chunked body")
            << QByteArray("POST /registration HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\n{\r\n") << 411;
        QTest::newRow("path of 1 MB") << "GET /" + QByteArray(1 << 20, 'a') + " HTTP/1.1\r\n\r\n" << 431;
        // clang-format on
    }

    // A request the service will not handle gets exactly one answer, then the connection is closed,
    // and the service goes on serving.
    void rawRequestsGetOneAnswer()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, status);
        const QByteArray received = exchange(bytes);
        QCOMPARE(received.count("HTTP/1.1 "), 1);
        QVERIFY2(received.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), received.left(200).constData());
        QCOMPARE(outcomeOf([&] { registerOnly(); }), QStringLiteral("success"));
    }

    void refusalsAreBounded()
    {
        PresenceServiceConfig config = testConfig();
        config.keptRecords = 3;
        startService(config);
        for (int i = 0; i < 5; ++i) {
            outcomeOf([&] { post(QStringLiteral("/%1/").arg(i) + QString(8000, u'x'), "{}"); });
        }
        QCOMPARE(service_->refusals().size(), 3);
        QVERIFY(service_->refusals().last().startsWith(QStringLiteral("/4/xxx")));
        for (const QString& refusal : service_->refusals()) {
            QCOMPARE(refusal.size(), PresenceService::maxRefusalChars);
        }
    }

    void idleConnectionsAreClosed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("nothing sent") << QByteArray() << QByteArray();
        QTest::newRow("half a request head") << QByteArray("GET / HTTP/1.1\r\n") << QByteArray();
        QTest::newRow("answer held past the idle time")
            << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray("HTTP/1.1 200 OK");
    }

    void idleConnectionsAreClosed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, answer);
        PresenceServiceConfig config = testConfig();
        config.limits.idleTimeout = std::chrono::milliseconds(200);
        startService(config);
        service_->setDelay(QStringLiteral("/"), std::chrono::milliseconds(600));
        const QByteArray received = exchange(bytes);
        QVERIFY2(received.startsWith(answer) && !received.endsWith("<still open>"), received.constData());
    }

    // Past the cap a connection is closed unanswered; once idle ones are closed, new ones are served.
    void connectionsPastTheCapAreClosed()
    {
        PresenceServiceConfig config = testConfig();
        config.limits.maxConnections = 2;
        config.limits.idleTimeout = std::chrono::milliseconds(300);
        startService(config);
        std::array<QTcpSocket, 2> idle;
        for (QTcpSocket& socket : idle) {
            socket.connectToHost(QHostAddress::LocalHost, service_->serverPorts().first());
            QVERIFY(socket.waitForConnected(5000));
        }
        const QByteArray request("GET / HTTP/1.1\r\n\r\n");
        QCOMPARE(exchange(request), QByteArray());
        QTRY_VERIFY(idle[0].state() == QAbstractSocket::UnconnectedState &&
                    idle[1].state() == QAbstractSocket::UnconnectedState);
        QVERIFY(exchange(request).startsWith("HTTP/1.1 200 OK"));
    }

    void untrustedCertificateIsRefused()
    {
#ifdef NEROVA_SANITIZED_BUILD
        QSKIP("Qt's TLS backend leaves OpenSSL state behind at exit, which the leak checker reports; "
              "this test runs in the regular build");
#endif
        const QString key = dir_.filePath(QStringLiteral("tls.key"));
        const QString certificate = dir_.filePath(QStringLiteral("tls.crt"));
        openssl(QStringLiteral("req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 -keyout %1 -out %2")
                    .arg(key, certificate)
                    .split(u' '));
        QFile keyFile(key);
        QFile certificateFile(certificate);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certificateFile.open(QIODevice::ReadOnly));
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        PresenceService tls(config, clock_);
        tls.sslSetup(QSslCertificate(&certificateFile), QSslKey(&keyFile, QSsl::Rsa));
        const quint16 port = tls.listen(QHostAddress::LocalHost, 0);
        QVERIFY(port != 0);

        NerovaClient client(session_, QUrl(QStringLiteral("https://127.0.0.1:%1").arg(port)));
        const HeaderMap headers{{QStringLiteral("x-nerova-agent-registrationkey"), registrationKey}};
        const QByteArray body = QByteArray::fromStdString(registrationBody().dump());
        QCOMPARE(outcomeOf([&] {
                     await(client.postData(QStringLiteral("/registration"), body, headers, {}));
                 }).section(u'(', 0, 0),
                 QStringLiteral("SslHandshakeFailedError"));
        QVERIFY(tls.agents().isEmpty());
    }
};

QTEST_GUILESS_MAIN(PresenceServiceTest)
#include "PresenceServiceTest.moc"
