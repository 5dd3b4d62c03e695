#include "tools/presence-service/PresenceService.h"
#include "service/HttpExchange.h"
#include "service/KeyManager.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "service/NerovaPresenceClient.h"
#include "service/URLLoadingError.h"
#include "common/Await.h"
#include "support/OpenSSLCommand.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpSocket>
#include <QTest>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;
using namespace std::chrono_literals;

namespace {

const QString registrationKey = QStringLiteral("reg-key-1");
const QString agentId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
const QDateTime start = QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::UTC);

struct Credentials {
    QString secret;
    QString projectId;
    QString instanceId;
    QString nonce;
};

Json registrationBody(const QString& pem, const QString& key = registrationKey)
{
    Json body = Json::object();
    body["agentId"] = toStdString(agentId);
    body["publicKey"] = toStdString(pem);
    body["registrationKey"] = toStdString(key);
    body["deviceInformation"] =
        Json{{"localUsername", "ada"}, {"deviceType", "mac"}, {"serialNumber", "unknown"}, {"name", "desk"}};
    body["agentInformation"] = Json{{"fingerprintVersion", 0}, {"agentVersion", "0.1.0"}};
    return body;
}

QByteArray bytes(const Json& json) { return QByteArray::fromStdString(json.dump()); }

// What a failed call came to, for the tables.
QString failureOf(const std::function<void()>& call)
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
    std::optional<KeyPair> keys_;
    QString fingerprintPath_;

    QByteArray post(const QString& path, const Json& body, const QString& key = registrationKey)
    {
        NerovaClient client(session_, service_->baseUrl());
        const HeaderMap headers{{QStringLiteral("x-nerova-agent-registrationkey"), key}};
        return await(client.postData(path, bytes(body), headers, {})).value_or(QByteArray());
    }

    // Registration up to the decrypted payload.
    Credentials registerKeys()
    {
        const QByteArray answer =
            post(QStringLiteral("/registration"), registrationBody(KeyManager::publicKeyPEM(keys_->publicKey)));
        const QByteArray ciphertext =
            QByteArray::fromBase64(QByteArray::fromStdString(parseJson(answer).at("payload").get<std::string>()));
        const QByteArray plaintext = KeyManager::decryptPayload(ciphertext, keys_->privateKey);
        const Json payload = parseJson(plaintext);
        return {fromStdString(payload.at("secret")), fromStdString(payload.at("projectId")),
                fromStdString(payload.at("instanceId")), fromStdString(payload.at("nonce"))};
    }

    void complete(const Credentials& credentials, const QString& nonce, const Clock& clock)
    {
        NerovaAuthenticatedClient client(session_, service_->baseUrl(), credentials.secret, clock);
        await(client.postSignedData(u'/' + agentId + QStringLiteral("/complete-registration"),
                                    bytes(Json{{"nonce", toStdString(nonce)}}), credentials.projectId,
                                    credentials.instanceId));
    }

    Credentials enrol()
    {
        const Credentials credentials = registerKeys();
        complete(credentials, credentials.nonce, clock_);
        return credentials;
    }

    HttpAnswer get(const QString& path, const QByteArray& ifNoneMatch = {})
    {
        QNetworkRequest request(service_->baseUrl().resolved(QUrl(path)));
        if (!ifNoneMatch.isEmpty()) {
            request.setRawHeader("If-None-Match", ifNoneMatch);
        }
        return await(exchange(session_, request, "GET", {}, RedirectRule::standard));
    }

private slots:
    void initTestCase() { keys_ = KeyManager::createKeyPair(QStringLiteral("test")); }

    void init()
    {
        fingerprintPath_ = writeFile(dir_, QStringLiteral("fingerprints.json"), R"({"fingerprintVersion":1})");
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        config.fingerprintFilePath = fingerprintPath_;
        config.presenceLogPath = dir_.filePath(QStringLiteral("presence.jsonl"));
        QFile::remove(config.presenceLogPath);
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
    }

    void cleanup() { service_.reset(); }

    void enrolmentCheckinAndPresence()
    {
        const Credentials credentials = enrol();
        QVERIFY(service_->agents().value(agentId).completed);
        QCOMPARE(credentials.projectId, QStringLiteral("project-demo"));
        QVERIFY(credentials.secret.size() >= 32);

        NerovaCheckinClient checkin(session_, service_->baseUrl(), credentials.secret, clock_);
        const AgentCheckinRequest asking{0, QStringLiteral("0.1.0"), true};
        const std::optional<AgentCheckinResponse> answer =
            await(checkin.postCheckin(agentId, asking, credentials.projectId, credentials.instanceId));
        QVERIFY(answer && answer->fingerprintFileUrl && answer->urlExpiresAt);
        QCOMPARE(QUrl(*answer->fingerprintFileUrl).path(), QStringLiteral("/fingerprint-file"));
        const qint64 nowInReferenceSeconds = QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).secsTo(start);
        QCOMPARE(*answer->urlExpiresAt, nowInReferenceSeconds + 3600);
        QCOMPARE(answer->enableDebug, false);

        const AgentCheckinRequest notAsking{1, QStringLiteral("0.1.0"), false};
        const std::optional<AgentCheckinResponse> plain =
            await(checkin.postCheckin(agentId, notAsking, credentials.projectId, credentials.instanceId));
        QVERIFY(plain && !plain->fingerprintFileUrl && !plain->urlExpiresAt);
        QCOMPARE(service_->checkins().size(), 2);

        NerovaPresenceClient presence(session_, service_->baseUrl(), credentials.secret, clock_);
        const AgentPresenceRequest report{start, QStringLiteral("fp-1"), 1,
                                          LocationPoint{QStringLiteral("loc"), QStringLiteral("lvl"), {}, {}}};
        QVERIFY(!await(presence.postPresence(agentId, report, credentials.projectId, credentials.instanceId)));
        QCOMPARE(service_->presenceReports().size(), 1);
        QFile log(dir_.filePath(QStringLiteral("presence.jsonl")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const Json line = parseJson(log.readLine());
        QVERIFY(line.at("fingerprintId") == "fp-1");
        QVERIFY(line.at("locationPoint") == Json({{"locationId", "loc"}, {"levelId", "lvl"}}));
        QVERIFY(line.at("instanceId") == toStdString(credentials.instanceId));
        QVERIFY(service_->refusals().isEmpty());
    }

    void refusedRegistrations_data()
    {
        // clang-format off
        QTest::addColumn<QString>("pointer"); // JSON pointer into the body to change ("" for none)
        QTest::addColumn<QString>("value");   // new JSON value, or <remove>
        QTest::addColumn<QString>("headerKey");
        QTest::addColumn<QString>("expected");

        QTest::newRow("wrong key header") << "" << "" << "other" << "401 registration key refused";
        QTest::newRow("no key header") << "" << "" << "" << "401 registration key refused";
        QTest::newRow("body key differs") << "/registrationKey" << R"("other")" << registrationKey
            << "400 registrationKey: differs from the x-nerova-agent-registrationkey header";
        QTest::newRow("agent id upper case") << "/agentId" << R"("0F8FAD5B-D9CB-469F-A165-70867728950E")"
            << registrationKey << "400 agentId: a lower-case UUID is required";
        QTest::newRow("PEM with LF lines") << "/publicKey" << "<lf>" << registrationKey
            << "400 publicKey: Base64 line 1 is 398 characters (64 per line, CR LF between lines)";
        QTest::newRow("no device information") << "/deviceInformation" << "<remove>" << registrationKey
            << "400 malformed request: deviceInformation: required key is missing";
        QTest::newRow("unknown device type") << "/deviceInformation/deviceType" << R"("toaster")" << registrationKey
            << "400 malformed request: deviceInformation.deviceType: \"toaster\" is not a device type";
        QTest::newRow("version as text") << "/agentInformation/fingerprintVersion" << R"("0")" << registrationKey
            << "400 malformed request: agentInformation.fingerprintVersion: expected a 64-bit integer, "
               "found the string \"0\"";
        // clang-format on
    }

    void refusedRegistrations()
    {
        QFETCH(QString, pointer);
        QFETCH(QString, value);
        QFETCH(QString, headerKey);
        QFETCH(QString, expected);

        const QString pem = KeyManager::publicKeyPEM(keys_->publicKey);
        Json body = registrationBody(pem);
        if (value == u"<remove>") {
            body.erase(toStdString(pointer.mid(1)));
        } else if (value == u"<lf>") {
            body["publicKey"] = toStdString(QString(pem).replace(QLatin1String("\r\n"), QLatin1String("\n")));
        } else if (!pointer.isEmpty()) {
            body[Json::json_pointer(toStdString(pointer))] = Json::parse(toStdString(value));
        }
        QCOMPARE(failureOf([&] { post(QStringLiteral("/registration"), body, headerKey); }), expected);
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
        Credentials credentials = fault == u"incomplete" ? registerKeys() : enrol();
        QString agent = agentId;
        ManualClock agentClock(start);
        if (fault == u"agent") {
            agent = QStringLiteral("11111111-2222-4333-8444-555555555555");
        } else if (fault == u"secret") {
            credentials.secret += u'x';
        } else if (fault == u"project") {
            credentials.projectId = QStringLiteral("other");
        } else if (fault == u"clock") {
            agentClock.advance(-600'000);
        }
        NerovaCheckinClient client(session_, service_->baseUrl(), credentials.secret, agentClock);
        const AgentCheckinRequest request{0, QStringLiteral("0.1.0"), true};
        QCOMPARE(failureOf(
                     [&] { await(client.postCheckin(agent, request, credentials.projectId, credentials.instanceId)); }),
                 expected);
        QVERIFY(service_->checkins().isEmpty());
    }

    void nonceIsCheckedAndUsedOnce()
    {
        const Credentials credentials = registerKeys();
        QCOMPARE(failureOf([&] { complete(credentials, QStringLiteral("guess"), clock_); }),
                 QStringLiteral("401 nonce: does not match the registration"));
        QVERIFY(!service_->agents().value(agentId).completed);
        complete(credentials, credentials.nonce, clock_);
        QCOMPARE(failureOf([&] { complete(credentials, credentials.nonce, clock_); }),
                 QStringLiteral("401 nonce: does not match the registration"));
    }

    void fingerprintFileWithEntityTags()
    {
        const HttpAnswer first = get(QStringLiteral("/fingerprint-file"));
        QCOMPARE(first.statusCode, 200);
        QCOMPARE(first.body, QByteArray(R"({"fingerprintVersion":1})"));
        QByteArray tag;
        for (const auto& [name, value] : first.headers) {
            if (name.compare("etag", Qt::CaseInsensitive) == 0) {
                tag = value;
            }
        }
        QVERIFY(tag.startsWith('"') && tag.endsWith('"'));
        QCOMPARE(get(QStringLiteral("/fingerprint-file"), tag).statusCode, 304);
        QCOMPARE(get(QStringLiteral("/fingerprint-file"), "\"other\"").statusCode, 200);

        writeFile(dir_, QStringLiteral("fingerprints.json"), R"({"fingerprintVersion":2})");
        const HttpAnswer changed = get(QStringLiteral("/fingerprint-file"), tag);
        QCOMPARE(changed.statusCode, 200);
        QCOMPARE(changed.body, QByteArray(R"({"fingerprintVersion":2})"));
    }

    void publicAddressStandIn()
    {
        const HttpAnswer answer = get(QStringLiteral("/?format=json"));
        QCOMPARE(answer.statusCode, 200);
        QVERIFY(parseJson(answer.body) == Json({{"ip", "127.0.0.1"}}));
    }

    void badRequestsGetServerErrors_data()
    {
        // clang-format off
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unknown path") << "/nothing" << QByteArray("{}") << "404 no such resource";
        QTest::newRow("not JSON") << "/registration" << QByteArray("{\"agentId\":")
            << "400 body is not JSON: malformed JSON";
        QTest::newRow("JSON array") << "/registration" << QByteArray("[]") << "400 body is not a JSON object";
        QTest::newRow("empty body") << "/registration" << QByteArray() << "400 body is not JSON: malformed JSON";
        // clang-format on
    }

    void badRequestsGetServerErrors()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        NerovaClient client(session_, service_->baseUrl());
        const HeaderMap headers{{QStringLiteral("x-nerova-agent-registrationkey"), registrationKey}};
        const QString failure = failureOf([&] { await(client.postData(path, body, headers, {})); });
        QVERIFY2(failure.startsWith(expected), qPrintable(failure));
        QCOMPARE(get(QStringLiteral("/registration")).statusCode, 405);
    }

    void malformedHttpDoesNotStopTheService()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, service_->serverPorts().first());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("\x16\x03\x01 not HTTP at all\r\n\r\nPOST /registration HTTP/1.1\r\nContent-Length: -5\r\n\r\n");
        QTRY_VERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForReadyRead(100));
        QCOMPARE(get(QStringLiteral("/?format=json")).statusCode, 200);
    }

    void untrustedCertificateIsRefused()
    {
        if (!haveOpenSSL()) {
            QSKIP("the openssl command is not installed (scripts/bootstrap installs it)");
        }
        const QString key = dir_.filePath(QStringLiteral("tls.key"));
        const QString certificate = dir_.filePath(QStringLiteral("tls.crt"));
        openssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                 QStringLiteral("-nodes"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                 QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-keyout"), key, QStringLiteral("-out"),
                 certificate});
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
        const QByteArray body = bytes(registrationBody(KeyManager::publicKeyPEM(keys_->publicKey)));
        QCOMPARE(failureOf([&] {
                     await(client.postData(QStringLiteral("/registration"), body, headers, {}));
                 }).section(u'(', 0, 0),
                 QStringLiteral("SslHandshakeFailedError"));
        QVERIFY(tls.agents().isEmpty());
        QVERIFY(tls.refusals().isEmpty());
    }

    void injectedFaults()
    {
        const Credentials credentials = enrol();
        NerovaCheckinClient client(session_, service_->baseUrl(), credentials.secret, clock_);
        const AgentCheckinRequest request{0, QStringLiteral("0.1.0"), false};
        const auto checkin = [&] {
            return failureOf(
                [&] { await(client.postCheckin(agentId, request, credentials.projectId, credentials.instanceId)); });
        };

        service_->failNextCheckin();
        QCOMPARE(checkin(), QStringLiteral("412 unknown agent ") + agentId);
        QCOMPARE(checkin(), QStringLiteral("success"));

        const QString path = u'/' + agentId + QStringLiteral("/check-in");
        service_->setStatus(path, 503);
        QCOMPARE(checkin(), QStringLiteral("503 fault injected for ") + path);
        service_->clearFaults();

        service_->setDelay(path, 2s);
        NerovaCheckinClient impatient(session_, service_->baseUrl(), credentials.secret, clock_, 200ms);
        QCOMPARE(failureOf([&] {
                     await(impatient.postCheckin(agentId, request, credentials.projectId, credentials.instanceId));
                 }),
                 QStringLiteral("OperationCanceledError(\"Operation canceled\")"));
        service_->clearFaults();
        QCOMPARE(checkin(), QStringLiteral("success"));
    }
};

QTEST_GUILESS_MAIN(PresenceServiceTest)
#include "PresenceServiceTest.moc"
