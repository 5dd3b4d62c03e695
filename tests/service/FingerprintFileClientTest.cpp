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
const QString t0 = QStringLiteral("\"t0\"");

RawHeaders etag(const QByteArray& tag) { return {{"ETag", tag}}; }

struct Row {
    const char* name;
    ScriptedResponse answer;
    QString tagAfter = t0; // every HTTP answer's tag is stored, or none
    qint64 version = 1;    // of the file returned and of the local copy afterwards, 0 for none
    QString outcome = {};  // start of the one error line logged, else of the error raised; "" for neither
    QString url = {};      // "": the scripted server, "refused": nothing listens, "file": a local file
    QString tagBefore = t0;
    int copyBefore = 1; // 0: no local copy, 1: a copy of version 1, -1: a corrupt copy
    int sizeLimit = 0;  // writes past this size fail, like on a full disk
};

} // namespace

Q_DECLARE_METATYPE(Row)

class FingerprintFileClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;

private slots:
    void outcomes_data()
    {
        QTest::addColumn<Row>("row");
        const QString writeFailed = QStringLiteral("Error fetching fingerprint writeFailed(");
        // clang-format off
        const Row rows[] = {
            {"200 replaces the copy", {200, etag("W/\"t1\""), servedFile(2)}, "W/\"t1\"", 2},
            {"200 undecodable", {200, etag("\"t2\""), "<html/>"}, "\"t2\"", 1, "Error fetching fingerprint "},
            {"304", {304, etag(t0.toUtf8())}},
            {"500 without Etag", {500, {}, "oops"}, ""},
            {"404 with Etag", {404, etag("\"t3\""), servedFile(3)}, "\"t3\"", 1, "", "", ""},
            // The server would answer "not modified" to the tag for ever: it is forgotten.
            {"304 on a corrupt copy", {304, etag(t0.toUtf8())}, "", 0, "malformed JSON", "", t0, -1},
            {"file URL: read like a 200, tag kept", {}, t0, 4, "", "file", t0, 0},
            // Failures without an answer change nothing.
            {"connection refused", {}, t0, 1, "ConnectionRefusedError", "refused"},
            {"not a URL", {}, t0, 1, "urlError", "http://exa mple/f.json"},
            {"no scheme", {}, t0, 1, "urlError", "files/f.json"},
            // Each byte restarts a transfer timeout: only a bound on the whole download ends this.
            {"trickling body", {200, etag("\"t9\""), servedFile(2), 0ms, 50ms}, t0, 1, "TimeoutError"},
            {"file over 32 MiB", {200, etag("\"t9\""), servedFile(2, 32 * 1024 * 1024)}, t0, 1, "UnknownContentError"},
            // The old copy stays whole; the tag of the file not kept is forgotten.
            {"write fails", {200, etag("\"t2\""), servedFile(2, 64 * 1024)}, "", 1, writeFailed, "", "\"t1\"", 1, 16 * 1024},
            {"write fails within the write buffer", {200, etag("\"t2\""), servedFile(2, 12 * 1024)}, "", 1, writeFailed, "", "\"t1\"", 1, 8 * 1024},
        };
        // clang-format on
        for (const Row& row : rows) {
            QTest::newRow(row.name) << row;
        }
    }

    void outcomes()
    {
        QFETCH(Row, row);
        QTemporaryDir dir;
        LogCapture log;
        Settings settings(dir.filePath(QStringLiteral("settings.conf")), dir.filePath(QStringLiteral("managed")));
        FingerprintFileClient client(session_, settings, dir.filePath(QStringLiteral("data")), 2s);
        if (!row.tagBefore.isEmpty()) {
            settings.setText(tagKey, row.tagBefore);
        }
        if (row.copyBefore > 0) {
            client.storeFingerprintFile(decodeFingerprintFile(servedFile(1), TimestampForm::served));
        } else if (row.copyBefore < 0) {
            QDir().mkpath(dir.filePath(QStringLiteral("data")));
            writeFile(dir, QStringLiteral("data/fingerprintFile.json"), "{");
        }
        ScriptedHttpServer server;
        server.enqueue(row.answer);
        QString url = row.url;
        if (url.isEmpty()) {
            url = server.url(QStringLiteral("/f.json?sig=1")).toString();
        } else if (url == u"refused") {
            url = QStringLiteral("http://127.0.0.1:%1/f.json").arg(ScriptedHttpServer::unusedPort());
        } else if (url == u"file") {
            url = QUrl::fromLocalFile(writeFile(dir, QStringLiteral("served.json"), servedFile(4))).toString();
        }

        // While set, writes past the limit fail (instead of raising SIGXFSZ).
        rlimit original{};
        getrlimit(RLIMIT_FSIZE, &original);
        const rlimit limited{row.sizeLimit ? rlim_t(row.sizeLimit) : original.rlim_cur, original.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limited);
        std::optional<FingerprintFile> file;
        QString result;
        try {
            file = await(client.fetchFingerprintFile(url));
        } catch (const std::exception& error) {
            result = describeException(error);
        }
        setrlimit(RLIMIT_FSIZE, &original);
        std::signal(SIGXFSZ, SIG_DFL);
        if (result.isEmpty()) {
            QCOMPARE(file ? file->fingerprintVersion : 0, row.version);
            QVERIFY(log.errors().size() <= 1);
            result = log.errors().value(0);
        }
        QVERIFY2(row.outcome.isEmpty() ? result.isEmpty() : result.startsWith(row.outcome), qPrintable(result));
        QCOMPARE(settings.text(tagKey).value_or(QString()), row.tagAfter);
        if (row.copyBefore >= 0) { // the version returned, or the copy's when the call raised
            const std::optional<FingerprintFile> copy = client.loadStoredFingerprintFile();
            QCOMPARE(copy ? copy->fingerprintVersion : 0, row.version);
        }
        if (!server.requests().isEmpty()) {
            const RecordedRequest& request = server.requests()[0];
            QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /f.json?sig=1"));
            QCOMPARE(request.headerValues("if-none-match"),
                     row.tagBefore.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{row.tagBefore.toUtf8()});
        }
        const QStringList left = QDir(dir.filePath(QStringLiteral("data"))).entryList(QDir::Files);
        QVERIFY2(left.size() <= 1, qPrintable(left.join(u' '))); // no temporary file left
    }
};

QTEST_GUILESS_MAIN(FingerprintFileClientTest)
#include "FingerprintFileClientTest.moc"
