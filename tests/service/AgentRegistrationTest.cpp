#include "service/AgentRegistration.h"
#include "common/AppInfo.h"
#include "common/CaptureLogSink.h"
#include "common/Settings.h"
#include "rules/FingerprintFileJson.h"
#include "service/FingerprintFileClient.h"
#include "service/KeyManager.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "service/NerovaPresenceClient.h"
#include "common/Await.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceService.h"

#include <QNetworkAccessManager>
#include <QTest>

using namespace nerova;
using namespace nerova::presence;
using namespace nerova::test;

namespace {

const QString registrationKey = QStringLiteral("reg-key-é");
const QString agentId = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
const QString isRegistered = QString::fromLatin1(settingskey::isRegistered);

DeviceInformation device()
{
    return DeviceInformation{QStringLiteral("ada"), AgentDeviceType::mac, QStringLiteral("unknown"),
                             QStringLiteral("desk")};
}

} // namespace

class AgentRegistrationTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;
    SystemClock clock_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::shared_ptr<CaptureLogSink> sink_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<PresenceService> service_;

    QString registrationFailure(const QUrl& base)
    {
        AgentRegistration registration(session_, base, *settings_, clock_);
        try {
            await(registration.registerAgent(agentId, registrationKey, device()));
            return QStringLiteral("success");
        } catch (const std::exception& error) {
            return describeException(error);
        }
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        sink_ = std::make_shared<CaptureLogSink>();
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")),
                                               Logger(QStringLiteral("test"), QStringLiteral("test"), sink_));
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        config.fingerprintFilePath = writeFile(*dir_, QStringLiteral("served.json"),
                                               R"({"fingerprints":[{"fingerprintId":"fp-hq","name":"HQ",)"
                                               R"("locationPoint":{"locationId":"hq","levelId":"3"},"rules":[]}],)"
                                               R"("fingerprintVersion":7,"createdAt":"2026-05-01T09:30:00.000Z"})");
        service_ = std::make_unique<PresenceService>(config, clock_);
        QVERIFY(service_->listen(QHostAddress::LocalHost, 0) != 0);
    }

    void cleanup() { service_.reset(); }

    // The whole conversation against the reference service, which verifies every signature.
    void enrolCheckInReportAndDownload()
    {
        AgentRegistration registration(session_, service_->baseUrl(), *settings_, clock_);
        const AgentCredentials credentials = await(registration.registerAgent(agentId, registrationKey, device()));
        QVERIFY(settings_->flag(isRegistered));
        const AgentRecord record = service_->agents().value(agentId);
        QVERIFY(record.completed);
        QCOMPARE(credentials.secret, record.secret);
        QCOMPARE(credentials.projectId, record.projectId);
        QCOMPARE(credentials.instanceId, record.instanceId);

        NerovaCheckinClient checkin(session_, service_->baseUrl(), credentials.secret, clock_);
        const AgentCheckinRequest request{0, appVersion(), true};
        const std::optional<AgentCheckinResponse> answer =
            await(checkin.postCheckin(agentId, request, credentials.projectId, credentials.instanceId));
        QVERIFY(answer && answer->fingerprintFileUrl && answer->urlExpiresAt);

        FingerprintFileClient files(session_, *settings_, Logger(QStringLiteral("test"), QStringLiteral("test"), sink_),
                                    dir_->filePath(QStringLiteral("data")));
        const std::optional<FingerprintFile> file = await(files.fetchFingerprintFile(*answer->fingerprintFileUrl));
        QVERIFY(file);
        QCOMPARE(file->fingerprintVersion, 7);
        QVERIFY(settings_->text(QString::fromLatin1(settingskey::fingerprintETag)));
        // Unchanged on the server: 304, answered from the local copy.
        QCOMPARE(await(files.fetchFingerprintFile(*answer->fingerprintFileUrl))->fingerprintVersion, 7);
        QCOMPARE(sink_->messages().last(), QStringLiteral("debug Fingerprint status code: 304"));

        NerovaPresenceClient presence(session_, service_->baseUrl(), credentials.secret, clock_);
        const Fingerprint& matched = file->fingerprints.front();
        const AgentPresenceRequest report{clock_.now(), matched.fingerprintId, file->fingerprintVersion,
                                          matched.locationPoint};
        await(presence.postPresence(agentId, report, credentials.projectId, credentials.instanceId));

        QCOMPARE(service_->presenceReports().size(), 1);
        QVERIFY(service_->presenceReports()[0].at("locationPoint") == Json({{"locationId", "hq"}, {"levelId", "3"}}));
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

    void refusedRegistrationLeavesTheFlagAlone()
    {
        settings_->setFlag(isRegistered,
                           true); // a re-enrolment after a 412 starts from false, but nothing may be reset here
        AgentRegistration registration(session_, service_->baseUrl(), *settings_, clock_);
        QVERIFY_THROWS_EXCEPTION(NerovaClientError,
                                 await(registration.registerAgent(agentId, QStringLiteral("wrong"), device())));
        QVERIFY(settings_->flag(isRegistered));
    }

    void payloadTooLargeForOneBlock()
    {
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        config.projectId = QString(200, u'p');
        PresenceService service(config, clock_);
        QVERIFY(service.listen(QHostAddress::LocalHost, 0) != 0);
        QVERIFY(registrationFailure(service.baseUrl())
                    .startsWith(QLatin1String("serverError(statusCode: 500, message: \"payload of")));
    }

    void registrationOnTheWire()
    {
        ScriptedHttpServer server;
        server.enqueue({200, {}, {}});
        QCOMPARE(registrationFailure(server.url(QStringLiteral("/api"))), QStringLiteral("noResponseError"));

        const RecordedRequest& sent = server.requests().at(0);
        QCOMPARE(sent.target, QByteArray("/api/registration?"));
        QCOMPARE(QString::fromUtf8(sent.header("x-nerova-agent-registrationkey")), registrationKey);
        QVERIFY(!sent.hasHeader("x-nerova-agent-timestamp") && !sent.hasHeader("x-nerova-agent-hash"));
        const Json body = parseJson(sent.body);
        QCOMPARE(fromStdString(body.at("registrationKey")), registrationKey);
        QCOMPARE(fromStdString(body.at("agentId")), agentId);
        QCOMPARE(fromStdString(body.at("publicKey")).size(), 456);
        QVERIFY(body.at("deviceInformation") == device().toJson());
        QVERIFY(body.at("agentInformation") ==
                Json({{"fingerprintVersion", 0}, {"agentVersion", toStdString(appVersion())}}));
        QVERIFY(!settings_->flag(isRegistered));
    }

    void unusableAnswers_data()
    {
        // clang-format off
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QByteArray block = QByteArray(256, 'x').toBase64();
        QTest::newRow("empty 200") << 200 << QByteArray() << "noResponseError";
        QTest::newRow("line break in payload") << 200
            << "{\"payload\":\"" + block.left(64) + "\\r\\n" + block.mid(64) + "\"}" << "noResponseError";
        QTest::newRow("line break, length kept") << 200
            << "{\"payload\":\"" + block.left(64) + "\\r\\n" + block.mid(66) + "\"}" << "noResponseError";
        QTest::newRow("not Base64") << 200 << QByteArray(R"({"payload":"***"})") << "noResponseError";
        QTest::newRow("missing padding") << 200 << "{\"payload\":\"" + block.left(block.size() - 1) + "\"}"
            << "noResponseError";
        QTest::newRow("wrong block") << 200 << "{\"payload\":\"" + block + "\"}" << "decryptionError";
        QTest::newRow("no payload") << 200 << QByteArray("{}") << "payload: required key is missing";
        QTest::newRow("412 ServerError") << 412 << QByteArray(R"({"statusCode":401,"message":"key"})")
            << "serverError(statusCode: 401, message: \"key\")";
        // clang-format on
    }

    void unusableAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue({status, {}, body});
        const QString failure = registrationFailure(server.url());
        QVERIFY2(failure.startsWith(expected), qPrintable(failure));
        QCOMPARE(server.requests().size(), 1); // no completion call
        QVERIFY(!settings_->flag(isRegistered));
    }

    void plainHttpToAnotherHostIsRefused()
    {
        QCOMPARE(registrationFailure(QUrl(QStringLiteral("http://0.0.0.0:%1").arg(service_->serverPorts().first())))
                     .section(u'(', 0, 0),
                 QStringLiteral("insecureEndpoint"));
        QVERIFY(service_->agents().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AgentRegistrationTest)
#include "AgentRegistrationTest.moc"
