#include "service/FingerprintFileClient.h"
#include "common/CaptureLogSink.h"
#include "common/Settings.h"
#include "rules/FingerprintFileJson.h"
#include "service/NerovaClientError.h"
#include "service/URLLoadingError.h"
#include "common/Await.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include <QNetworkAccessManager>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace nerova;
using namespace nerova::test;

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

} // namespace

class FingerprintFileClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::shared_ptr<CaptureLogSink> sink_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<FingerprintFileClient> client_;

    QString copyPath() const { return dir_->filePath(QStringLiteral("data/fingerprintFile.json")); }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        sink_ = std::make_shared<CaptureLogSink>();
        const Logger logger(QStringLiteral("test"), QStringLiteral("test"), sink_);
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")), logger);
        client_ = std::make_unique<FingerprintFileClient>(session_, *settings_, logger,
                                                          dir_->filePath(QStringLiteral("data")));
    }

    void outcomes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("tagBefore"); // "" for none
        QTest::addColumn<bool>("copyBefore");   // a local copy of version 1 exists
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("etag");  // "" for no header
        QTest::addColumn<QString>("tagAfter"); // "" for none
        QTest::addColumn<qint64>("returned");  // version returned, 0 for nothing
        QTest::addColumn<qint64>("copyAfter"); // version of the local copy afterwards, 0 for none
        QTest::addColumn<QStringList>("log");

        const QStringList statusOnly{QStringLiteral("debug Fingerprint status code: %ld")};
        const QStringList statusAndError{QStringLiteral("debug Fingerprint status code: %ld"),
                                         QStringLiteral("error Error fetching fingerprint %@")};
        QTest::newRow("first download") << "" << false << 200 << servedFile(2) << QByteArray("\"t1\"") << "\"t1\""
            << 2LL << 2LL << statusOnly;
        QTest::newRow("200 replaces the copy") << "\"t0\"" << true << 200 << servedFile(2) << QByteArray("W/\"t1\"")
            << "W/\"t1\"" << 2LL << 2LL << statusOnly;
        QTest::newRow("200 without tag removes it") << "\"t0\"" << true << 200 << servedFile(2) << QByteArray() << ""
            << 2LL << 2LL << statusOnly;
        QTest::newRow("200 undecodable") << "\"t0\"" << true << 200 << QByteArray("<html/>") << QByteArray("\"t2\"")
            << "\"t2\"" << 1LL << 1LL << statusAndError;
        QTest::newRow("200 dates without fraction") << "" << true << 200 << servedFile(2).replace(".250Z", "Z")
            << QByteArray("\"t2\"") << "\"t2\"" << 1LL << 1LL << statusAndError;
        QTest::newRow("200 undecodable, no copy") << "" << false << 200 << QByteArray("{}") << QByteArray() << "" << 0LL
            << 0LL << statusAndError;
        QTest::newRow("304") << "\"t0\"" << true << 304 << QByteArray() << QByteArray("\"t0\"") << "\"t0\"" << 1LL
            << 1LL << statusOnly;
        QTest::newRow("304 without a copy") << "\"t0\"" << false << 304 << QByteArray() << QByteArray("\"t0\"")
            << "\"t0\"" << 0LL << 0LL << statusOnly;
        QTest::newRow("500 without Etag") << "\"t0\"" << true << 500 << QByteArray("oops") << QByteArray() << "" << 1LL
            << 1LL << statusOnly;
        QTest::newRow("404 with Etag") << "" << true << 404 << servedFile(3) << QByteArray("\"t3\"") << "\"t3\"" << 1LL
            << 1LL << statusOnly;
        // clang-format on
    }

    void outcomes()
    {
        QFETCH(QString, tagBefore);
        QFETCH(bool, copyBefore);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, etag);
        QFETCH(QString, tagAfter);
        QFETCH(qint64, returned);
        QFETCH(qint64, copyAfter);
        QFETCH(QStringList, log);

        if (!tagBefore.isEmpty()) {
            settings_->setText(tagKey, tagBefore);
        }
        if (copyBefore) {
            client_->storeFingerprintFile(decodeFingerprintFile(servedFile(1), TimestampForm::served));
        }
        ScriptedHttpServer server;
        RawHeaders headers;
        if (!etag.isEmpty()) {
            headers.append({"ETag", etag});
        }
        server.enqueue({status, headers, body});

        const std::optional<FingerprintFile> file =
            await(client_->fetchFingerprintFile(server.url("/f.json?sig=1").toString()));

        QCOMPARE(server.requests().size(), 1);
        const RecordedRequest& request = server.requests()[0];
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/f.json?sig=1"));
        QCOMPARE(QString::fromUtf8(request.header("if-none-match")), tagBefore);
        QCOMPARE(request.hasHeader("if-none-match"), !tagBefore.isEmpty());
        QCOMPARE(settings_->text(tagKey).value_or(QString()), tagAfter);
        QCOMPARE(file ? file->fingerprintVersion : 0, returned);
        const std::optional<FingerprintFile> copy = client_->loadStoredFingerprintFile();
        QCOMPARE(copy ? copy->fingerprintVersion : 0, copyAfter);
        QCOMPARE(sink_->formats(), log);
    }

    void fileURLsAreDecodedLike200AndKeepTheTag()
    {
        settings_->setText(tagKey, QStringLiteral("\"t0\""));
        const QString path = writeFile(*dir_, QStringLiteral("served.json"), servedFile(4));
        const std::optional<FingerprintFile> file =
            await(client_->fetchFingerprintFile(QUrl::fromLocalFile(path).toString()));
        QVERIFY(file);
        QCOMPARE(file->fingerprintVersion, 4);
        QCOMPARE(settings_->text(tagKey), std::optional<QString>(QStringLiteral("\"t0\"")));
        QCOMPARE(client_->loadStoredFingerprintFile()->fingerprintVersion, 4);
        QVERIFY(sink_->formats().isEmpty());
    }

    void failuresWithoutAnswerChangeNothing_data()
    {
        // clang-format off
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("error");
        QTest::newRow("connection refused") << "http://127.0.0.1:%1/f.json" << "ConnectionRefusedError";
        QTest::newRow("missing file") << "file:///nonexistent/f.json" << "ContentNotFoundError";
        QTest::newRow("not a URL") << "http://exa mple/f.json" << "urlError";
        QTest::newRow("empty") << "" << "urlError";
        QTest::newRow("no scheme") << "files/f.json" << "urlError";
        // clang-format on
    }

    void failuresWithoutAnswerChangeNothing()
    {
        QFETCH(QString, url);
        QFETCH(QString, error);
        const quint16 closedPort = ScriptedHttpServer::unusedPort();
        settings_->setText(tagKey, QStringLiteral("\"t0\""));
        client_->storeFingerprintFile(decodeFingerprintFile(servedFile(1), TimestampForm::served));
        try {
            await(client_->fetchFingerprintFile(url.contains(u'%') ? url.arg(closedPort) : url));
            QFAIL("no error");
        } catch (const Error& raised) {
            QCOMPARE(raised.description().section(u'(', 0, 0), error);
        }
        QCOMPARE(settings_->text(tagKey), std::optional<QString>(QStringLiteral("\"t0\"")));
        QCOMPARE(client_->loadStoredFingerprintFile()->fingerprintVersion, 1);
    }

    void localCopyReadsBackEqual()
    {
        const FingerprintFile served = decodeFingerprintFile(servedFile(5), TimestampForm::served);
        client_->storeFingerprintFile(served);
        const std::optional<FingerprintFile> stored = client_->loadStoredFingerprintFile();
        QVERIFY(stored);
        QCOMPARE(stored->fingerprintVersion, 5);
        QCOMPARE(stored->createdAt, served.createdAt.addMSecs(-250)); // the fraction is dropped
        QCOMPARE(encodeFingerprintFile(*stored), encodeFingerprintFile(served));
    }

    void corruptLocalCopyIsAnError()
    {
        QDir().mkpath(dir_->filePath(QStringLiteral("data")));
        writeFile(*dir_, QStringLiteral("data/fingerprintFile.json"), "{");
        ScriptedHttpServer server;
        server.enqueue({304, {}, {}});
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, await(client_->fetchFingerprintFile(server.url("/f").toString())));
    }

    void interruptedWriteKeepsTheOldCopy()
    {
        // The write of a large file fails part-way (file size limit); the old copy must stay whole.
        client_->storeFingerprintFile(decodeFingerprintFile(servedFile(1), TimestampForm::served));
        ScriptedHttpServer server;
        server.enqueue({200, {}, servedFile(2, 64 * 1024)});

        rlimit original{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &original), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = original;
        small.rlim_cur = 16 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        std::optional<FingerprintFile> file;
        try {
            file = await(client_->fetchFingerprintFile(server.url("/f").toString()));
        } catch (...) {
            setrlimit(RLIMIT_FSIZE, &original);
            throw;
        }
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(file);
        QCOMPARE(file->fingerprintVersion, 1);
        QCOMPARE(client_->loadStoredFingerprintFile()->fingerprintVersion, 1);
        QCOMPARE(sink_->formats().last(), QStringLiteral("error Error fetching fingerprint %@"));
        QVERIFY2(sink_->messages().last().contains(QLatin1String("writeFailed")), qPrintable(sink_->messages().last()));
        QCOMPARE(QDir(dir_->filePath(QStringLiteral("data"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("fingerprintFile.json")}); // no temporary file left behind
    }
};

QTEST_GUILESS_MAIN(FingerprintFileClientTest)
#include "FingerprintFileClientTest.moc"
