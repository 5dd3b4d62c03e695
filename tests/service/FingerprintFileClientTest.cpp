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

    void storeVersion(qint64 version)
    {
        client_->storeFingerprintFile(decodeFingerprintFile(servedFile(version), TimestampForm::served));
    }
    qint64 storedVersion() const
    {
        const std::optional<FingerprintFile> copy = client_->loadStoredFingerprintFile();
        return copy ? copy->fingerprintVersion : 0;
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        log_ = std::make_unique<test::LogCapture>();
        settings_ = std::make_unique<Settings>(dir_->filePath(QStringLiteral("settings.conf")),
                                               dir_->filePath(QStringLiteral("managed")));
        client_ = std::make_unique<FingerprintFileClient>(session_, *settings_, dir_->filePath(QStringLiteral("data")));
    }

    void outcomes_data()
    {
        // clang-format off
        QTest::addColumn<QString>("tagBefore"); // "" for none
        QTest::addColumn<bool>("copyBefore");   // a local copy of version 1 exists
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("etag");  // "" for no header; every HTTP answer's tag is stored, or none
        QTest::addColumn<qint64>("version");   // of the file returned and of the local copy afterwards, 0 for none
        QTest::addColumn<bool>("logsError");   // "Error fetching fingerprint ..."

        QTest::newRow("first download") << "" << false << 200 << servedFile(2) << QByteArray("\"t1\"") << 2LL << false;
        QTest::newRow("200 replaces the copy") << "\"t0\"" << true << 200 << servedFile(2) << QByteArray("W/\"t1\"")
            << 2LL << false;
        QTest::newRow("200 undecodable") << "\"t0\"" << true << 200 << QByteArray("<html/>") << QByteArray("\"t2\"")
            << 1LL << true;
        QTest::newRow("200 undecodable, no copy") << "" << false << 200 << QByteArray("{}") << QByteArray() << 0LL
            << true;
        QTest::newRow("304") << "\"t0\"" << true << 304 << QByteArray() << QByteArray("\"t0\"") << 1LL << false;
        QTest::newRow("500 without Etag") << "\"t0\"" << true << 500 << QByteArray("oops") << QByteArray() << 1LL
            << false;
        QTest::newRow("404 with Etag") << "" << true << 404 << servedFile(3) << QByteArray("\"t3\"") << 1LL << false;
        // Statuses Qt reports as failures of its own are answers all the same.
        QTest::newRow("407") << "\"t0\"" << true << 407 << QByteArray("proxy") << QByteArray() << 1LL << false;
        QTest::newRow("305") << "\"t0\"" << true << 305 << QByteArray() << QByteArray() << 1LL << false;
        QTest::newRow("302 without Location") << "" << true << 302 << QByteArray("x") << QByteArray("\"t4\"") << 1LL
            << false;
        // clang-format on
    }

    void outcomes()
    {
        QFETCH(QString, tagBefore);
        QFETCH(bool, copyBefore);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, etag);
        QFETCH(qint64, version);
        QFETCH(bool, logsError);

        if (!tagBefore.isEmpty()) {
            settings_->setText(tagKey, tagBefore);
        }
        if (copyBefore) {
            storeVersion(1);
        }
        ScriptedHttpServer server;
        server.enqueue({status, etag.isEmpty() ? RawHeaders() : RawHeaders{{"ETag", etag}}, body});

        const std::optional<FingerprintFile> file =
            await(client_->fetchFingerprintFile(server.url("/f.json?sig=1").toString()));

        QCOMPARE(server.requests().size(), 1);
        const RecordedRequest& request = server.requests()[0];
        QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /f.json?sig=1"));
        QCOMPARE(request.headerValues("if-none-match"),
                 tagBefore.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{tagBefore.toUtf8()});
        QCOMPARE(settings_->text(tagKey).value_or(QString()).toUtf8(), etag);
        QCOMPARE(file ? file->fingerprintVersion : 0, version);
        QCOMPARE(storedVersion(), version);
        const QStringList errors = log_->errors();
        QVERIFY2(errors.size() == (logsError ? 1 : 0) &&
                     (errors.isEmpty() || errors[0].startsWith(QLatin1String("Error fetching fingerprint "))),
                 qPrintable(errors.join(u'\n')));
    }

    void fileURLsAreDecodedLike200AndKeepTheTag()
    {
        settings_->setText(tagKey, QStringLiteral("\"t0\""));
        const QString path = writeFile(*dir_, QStringLiteral("served.json"), servedFile(4));
        const std::optional<FingerprintFile> file =
            await(client_->fetchFingerprintFile(QUrl::fromLocalFile(path).toString()));
        QCOMPARE(file ? file->fingerprintVersion : 0, 4);
        QCOMPARE(settings_->text(tagKey), std::optional<QString>(QStringLiteral("\"t0\"")));
        QCOMPARE(storedVersion(), 4);
        QCOMPARE(log_->errors(), QStringList());
    }

    void failuresWithoutAnswerChangeNothing_data()
    {
        // clang-format off
        QTest::addColumn<QString>("url");     // %1: the port of a server sending `body`, or where nothing listens
        QTest::addColumn<QByteArray>("body"); // "" for no server
        QTest::addColumn<int>("dripMs");      // the body one byte at this interval, without end
        QTest::addColumn<QString>("error");
        QTest::newRow("connection refused") << "http://127.0.0.1:%1/f.json" << QByteArray() << 0
            << "ConnectionRefusedError";
        QTest::newRow("not a URL") << "http://exa mple/f.json" << QByteArray() << 0 << "urlError";
        QTest::newRow("no scheme") << "files/f.json" << QByteArray() << 0 << "urlError";
        // Each byte restarts a transfer timeout: only a bound on the whole download ends this.
        QTest::newRow("trickling body") << "http://127.0.0.1:%1/f.json" << servedFile(2) << 50 << "TimeoutError";
        QTest::newRow("file over 32 MiB") << "http://127.0.0.1:%1/f.json"
            << servedFile(2, 32 * 1024 * 1024) << 0 << "UnknownContentError";
        // clang-format on
    }

    void failuresWithoutAnswerChangeNothing()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, body);
        QFETCH(int, dripMs);
        QFETCH(QString, error);
        settings_->setText(tagKey, QStringLiteral("\"t0\""));
        storeVersion(1);
        ScriptedHttpServer server;
        server.enqueue({200, {{"ETag", "\"t9\""}}, body, {}, std::chrono::milliseconds(dripMs)});
        FingerprintFileClient client(session_, *settings_, dir_->filePath(QStringLiteral("data")),
                                     std::chrono::milliseconds(500));
        if (url.contains(u'%')) {
            url = url.arg(body.isEmpty() ? ScriptedHttpServer::unusedPort() : server.port());
        }
        try {
            await(client.fetchFingerprintFile(url));
            QFAIL("no error");
        } catch (const Error& raised) {
            QCOMPARE(raised.description().section(u'(', 0, 0), error);
        }
        QCOMPARE(settings_->text(tagKey), std::optional<QString>(QStringLiteral("\"t0\"")));
        QCOMPARE(storedVersion(), 1);
    }

    void corruptLocalCopyIsAnError()
    {
        QDir().mkpath(dir_->filePath(QStringLiteral("data")));
        writeFile(*dir_, QStringLiteral("data/fingerprintFile.json"), "{");
        ScriptedHttpServer server;
        server.enqueue({304, {}, {}});
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, await(client_->fetchFingerprintFile(server.url("/f").toString())));
    }

    void interruptedWriteKeepsTheOldCopy_data()
    {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<int>("limit");
        QTest::newRow("larger than the write buffer") << 64 * 1024 << 16 * 1024;
        QTest::newRow("within the write buffer") << 12 * 1024 << 8 * 1024; // fails only when flushed
    }

    void interruptedWriteKeepsTheOldCopy()
    {
        // The write fails part-way (a full disk); the old copy must stay whole, and the tag of the
        // file that was not kept must not be stored, or the server would answer "not modified" to it.
        QFETCH(int, fileSize);
        QFETCH(int, limit);
        storeVersion(1);
        settings_->setText(tagKey, QStringLiteral("\"t1\""));
        ScriptedHttpServer server;
        server.enqueue({200, RawHeaders{{"ETag", "\"t2\""}}, servedFile(2, fileSize)});
        std::optional<FingerprintFile> file;
        {
            const FileSizeLimit sizeLimit(limit);
            file = await(client_->fetchFingerprintFile(server.url("/f").toString()));
        }
        QCOMPARE(file ? file->fingerprintVersion : 0, 1);
        QCOMPARE(storedVersion(), 1);
        QVERIFY(settings_->text(tagKey) != std::optional<QString>(QStringLiteral("\"t2\"")));
        const QStringList errors = log_->errors();
        QVERIFY2(errors.size() == 1 && errors[0].startsWith(QLatin1String("Error fetching fingerprint writeFailed(")),
                 qPrintable(errors.join(u'\n')));
        QCOMPARE(QDir(dir_->filePath(QStringLiteral("data"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("fingerprintFile.json")}); // no temporary file left behind
    }
};

QTEST_GUILESS_MAIN(FingerprintFileClientTest)
#include "FingerprintFileClientTest.moc"
