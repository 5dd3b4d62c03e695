#include "service/FingerprintFileClient.h"
#include "common/Await.h"
#include "common/Settings.h"
#include "rules/FingerprintFileJson.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include <QNetworkAccessManager>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace nerova;
using namespace nerova::test;
using namespace std::chrono_literals;

namespace {

// A served file of the given version (dates carry fractional seconds).
QByteArray servedFile(qint64 version, int padding = 0)
{
    return QStringLiteral(R"({"fingerprints":[{"fingerprintId":"fp-%1","name":"%2","locationPoint":{"locationId":"l"},)"
                          R"("rules":[]}],"fingerprintVersion":%1,"createdAt":"2026-05-01T09:30:00.250Z"})")
        .arg(version)
        .arg(QString(padding, u'x'))
        .toUtf8();
}

const QString tagKey = QString::fromLatin1(settingskey::fingerprintETag);

RawHeaders etag(const QByteArray& tag) { return {{"ETag", tag}}; }

// While it lives, writes that would make a file larger than `bytes` fail (instead of raising SIGXFSZ).
struct FileSizeLimit {
    rlimit original{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &original);
        const rlimit small{bytes, original.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, SIG_DFL);
    }
};

} // namespace

class FingerprintFileClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<test::LogCapture> log_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<FingerprintFileClient> client_;

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        log_ = std::make_unique<test::LogCapture>();
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")));
        client_ =
            std::make_unique<FingerprintFileClient>(session_, *settings_, dir_->filePath(QStringLiteral("data")), 2s);
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("tagBefore"); // "" for none
        QTest::addColumn<int>("copyBefore");    // 0: no local copy, 1: a copy of version 1, -1: a corrupt copy
        QTest::addColumn<QString>("url"); // "": the scripted server, "refused": nothing listens, "file": a local file
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("tagAfter"); // every HTTP answer's tag is stored, or none
        QTest::addColumn<qint64>("version");   // of the file returned and of the local copy afterwards, 0 for none
        // the one error line logged, else the error raised; "" for neither
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("sizeLimit"); // writes past this size fail, like on a full disk; 0 for none

        const QString t0 = QStringLiteral("\"t0\"");
        // clang-format off
        QTest::newRow("200 replaces the copy") << t0 << 1 << "" << ScriptedResponse{200, etag("W/\"t1\""), servedFile(2)} << "W/\"t1\"" << 2LL << "" << 0;
        QTest::newRow("200 undecodable") << t0 << 1 << "" << ScriptedResponse{200, etag("\"t2\""), "<html/>"} << "\"t2\"" << 1LL << "Error fetching fingerprint " << 0;
        QTest::newRow("304") << t0 << 1 << "" << ScriptedResponse{304, etag(t0.toUtf8())} << t0 << 1LL << "" << 0;
        QTest::newRow("500 without Etag") << t0 << 1 << "" << ScriptedResponse{500, {}, "oops"} << "" << 1LL << "" << 0;
        QTest::newRow("404 with Etag") << "" << 1 << "" << ScriptedResponse{404, etag("\"t3\""), servedFile(3)} << "\"t3\"" << 1LL << "" << 0;
        // The server would answer "not modified" to the tag for ever: it is forgotten.
        QTest::newRow("304 on a corrupt copy") << t0 << -1 << "" << ScriptedResponse{304, etag(t0.toUtf8())} << "" << 0LL << "malformed JSON" << 0;
        QTest::newRow("file URL: read like a 200, tag kept") << t0 << 0 << "file" << ScriptedResponse{} << t0 << 4LL << "" << 0;
        // Failures without an answer change nothing.
        QTest::newRow("connection refused") << t0 << 1 << "refused" << ScriptedResponse{} << t0 << 1LL << "ConnectionRefusedError" << 0;
        QTest::newRow("not a URL") << t0 << 1 << "http://exa mple/f.json" << ScriptedResponse{} << t0 << 1LL << "urlError" << 0;
        QTest::newRow("no scheme") << t0 << 1 << "files/f.json" << ScriptedResponse{} << t0 << 1LL << "urlError" << 0;
        // Each byte restarts a transfer timeout: only a bound on the whole download ends this.
        QTest::newRow("trickling body") << t0 << 1 << "" << ScriptedResponse{200, etag("\"t9\""), servedFile(2), 0ms, 50ms} << t0 << 1LL << "TimeoutError" << 0;
        QTest::newRow("file over 32 MiB") << t0 << 1 << "" << ScriptedResponse{200, etag("\"t9\""), servedFile(2, 32 * 1024 * 1024)} << t0 << 1LL << "UnknownContentError" << 0;
        // The old copy stays whole; the tag of the file not kept is forgotten.
        QTest::newRow("write fails") << "\"t1\"" << 1 << "" << ScriptedResponse{200, etag("\"t2\""), servedFile(2, 64 * 1024)} << "" << 1LL << "Error fetching fingerprint writeFailed(" << 16 * 1024;
        QTest::newRow("write fails within the write buffer") << "\"t1\"" << 1 << "" << ScriptedResponse{200, etag("\"t2\""), servedFile(2, 12 * 1024)} << "" << 1LL << "Error fetching fingerprint writeFailed(" << 8 * 1024;
        // clang-format on
    }

    void outcomes()
    {
        QFETCH(QString, tagBefore);
        QFETCH(int, copyBefore);
        QFETCH(QString, url);
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, tagAfter);
        QFETCH(qint64, version);
        QFETCH(QString, outcome);
        QFETCH(int, sizeLimit);

        if (!tagBefore.isEmpty()) {
            settings_->setText(tagKey, tagBefore);
        }
        if (copyBefore > 0) {
            client_->storeFingerprintFile(decodeFingerprintFile(servedFile(1), TimestampForm::served));
        } else if (copyBefore < 0) {
            QDir().mkpath(dir_->filePath(QStringLiteral("data")));
            writeFile(*dir_, QStringLiteral("data/fingerprintFile.json"), "{");
        }
        ScriptedHttpServer server;
        server.enqueue(answer);
        if (url.isEmpty()) {
            url = server.url(QStringLiteral("/f.json?sig=1")).toString();
        } else if (url == u"refused") {
            url = QStringLiteral("http://127.0.0.1:%1/f.json").arg(ScriptedHttpServer::unusedPort());
        } else if (url == u"file") {
            url = QUrl::fromLocalFile(writeFile(*dir_, QStringLiteral("served.json"), servedFile(4))).toString();
        }

        QString result;
        try {
            std::optional<FileSizeLimit> limit;
            if (sizeLimit > 0) {
                limit.emplace(sizeLimit);
            }
            const std::optional<FingerprintFile> file = await(client_->fetchFingerprintFile(url));
            QCOMPARE(file ? file->fingerprintVersion : 0, version);
            QVERIFY(log_->errors().size() <= 1);
            result = log_->errors().value(0);
        } catch (const std::exception& error) {
            result = describeException(error);
        }
        QVERIFY2(outcome.isEmpty() ? result.isEmpty() : result.startsWith(outcome), qPrintable(result));
        QCOMPARE(settings_->text(tagKey).value_or(QString()), tagAfter);
        if (copyBefore >= 0) { // the version returned, or the copy's when the call raised
            const std::optional<FingerprintFile> copy = client_->loadStoredFingerprintFile();
            QCOMPARE(copy ? copy->fingerprintVersion : 0, version);
        }
        if (!server.requests().isEmpty()) {
            const RecordedRequest& request = server.requests()[0];
            QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /f.json?sig=1"));
            QCOMPARE(request.headerValues("if-none-match"),
                     tagBefore.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{tagBefore.toUtf8()});
        }
        QVERIFY(QDir(dir_->filePath(QStringLiteral("data"))).entryList(QDir::Files).size() <=
                1); // no temporary file left
    }
};

QTEST_GUILESS_MAIN(FingerprintFileClientTest)
#include "FingerprintFileClientTest.moc"
