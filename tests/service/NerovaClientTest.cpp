// The service clients (shared exchange, fingerprint download, public-IP lookup); the reference service checks signing.
#include "service/NerovaClient.h"
#include "common/Await.h"
#include "common/Settings.h"
#include "network/URLLoadingError.h"
#include "rules/FingerprintFileJson.h"
#include "service/AgentCheckinResponse.h"
#include "service/FingerprintFileClient.h"
#include "service/NerovaClientError.h"
#include "service/PublicIPClient.h"
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

const QByteArray serverError404 = R"({"statusCode":404,"message":"No such agent"})";

template <typename Response>
QString outcome(NerovaClient& client, const QString& path, QueryItems query = {}, HeaderMap headers = {})
{
    try {
        const std::optional<Response> response = await(client.post<Response>(path, "{\"a\":1}", headers, query));
        return response ? QStringLiteral("present") : QStringLiteral("absent");
    } catch (const NerovaClientError& error) {
        return error.description();
    } catch (const JsonDecodeError&) {
        return QStringLiteral("JsonDecodeError");
    } catch (const URLLoadingError& error) {
        return QStringLiteral("URLLoadingError ") + error.description().section(u'(', 0, 0);
    }
}

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

struct DownloadRow {
    const char* name;
    ScriptedResponse answer;
    QString tagAfter = t0; // every HTTP answer's tag is stored, or none
    qint64 version = 1;    // of the file returned and of the local copy afterwards, 0 for none
    QString outcome = {};  // start of the one error line logged, else of the error raised; "" for neither
    QString url = {};      // "": the scripted server, "file": a local file
    QString tagBefore = t0;
    int copyBefore = 1; // 0: no local copy, 1: a copy of version 1, -1: a corrupt copy
    int sizeLimit = 0;  // writes past this size fail, like on a full disk
};

} // namespace

class NerovaClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;

private slots:
    void answers_data()
    {
        QTest::addColumn<ScriptedResponse>("answer"); // %1 in a header: the port
        QTest::addColumn<bool>("requiredFields");     // decode as a check-in answer, else as a record without fields
        QTest::addColumn<QString>("header");          // the value of a header the caller passes
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("requests");
        const auto row = [](const char* name, ScriptedResponse answer, const QString& expected, bool required = false,
                            int requests = 1, const QString& header = QStringLiteral("k")) {
            QTest::newRow(name) << answer << required << header << expected << requests;
        };
        // clang-format off
        row("204 without body", {204}, "absent", true);
        row("200 {} for required fields", {200, {}, "{}"}, "JsonDecodeError", true);
        row("200 optional fields missing", {200, {}, R"({"enableDebug":false})"}, "present", true);
        row("200 optional field null", {200, {}, R"({"fingerprintFileUrl":"u","urlExpiresAt":null,"enableDebug":true})"}, "present", true);
        row("200 shaped like ServerError", {200, {}, serverError404}, "present");
        row("200 array for a record", {200, {}, "[]"}, "JsonDecodeError");
        row("299 is a success", {299, {}, "{}"}, "present");
        row("500 with HTML", {500, {}, "<html>oops</html>"}, "httpError(statusCode: 500)");
        row("300 is a failure", {300, {}, "x"}, "httpError(statusCode: 300)");
        // Statuses Qt reports as failures of its own are answers all the same; the status in the body wins.
        row("407 with ServerError", {407, {}, serverError404}, R"(serverError(statusCode: 404, message: "No such agent"))");
        row("305 without body", {305}, "httpError(statusCode: 305)");
        row("302 without Location", {302, {}, "x"}, "httpError(statusCode: 302)");
        row("answer over 1 MiB", {200, {}, "{}" + QByteArray(1024 * 1024, ' ')}, "URLLoadingError UnknownContentError");
        row("redirect to the same server: followed", {307, {{"Location", "http://127.0.0.1:%1/moved"}}}, "present", false, 2);
        // 0.0.0.0 reaches this machine, so a followed redirect would show up as a second request.
        row("plain http redirect elsewhere: refused", {307, {{"Location", "http://0.0.0.0:%1/moved"}}},
            "insecureEndpoint(\"http://0.0.0.0:%1/moved\")");
        // Each byte restarts a transfer timeout: only a bound on the whole call ends this.
        row("trickling body", {200, {}, "{}", 0ms, 50ms}, "URLLoadingError TimeoutError");
        row("LF in a header value", {200}, "URLLoadingError ProtocolInvalidOperationError", false, 0, "k\nX-Injected: 1");
        // clang-format on
    }

    void answers()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(bool, requiredFields);
        QFETCH(QString, header);
        QFETCH(QString, expected);
        QFETCH(int, requests);

        ScriptedHttpServer server;
        const QString port = QString::number(server.port());
        for (auto& [name, value] : answer.headers) {
            value.replace("%1", port.toLatin1());
        }
        server.enqueue(answer);
        server.enqueue({200, {}, "{}"}); // where a redirect leads
        NerovaClient client(session_, server.url(), 1s);
        const HeaderMap headers{{QStringLiteral("x-key"), header}};
        const QString result = requiredFields ? outcome<AgentCheckinResponse>(client, "/check", {}, headers)
                                              : outcome<EmptyRecord>(client, "/check", {}, headers);
        QVERIFY2(result.startsWith(expected.replace(QLatin1String("%1"), port)), qPrintable(result));
        QTest::qWait(requests == 0 ? 50 : 0);
        QCOMPARE(server.requests().size(), requests);
    }

    void requestTarget_data()
    {
        // clang-format off
        QTest::addColumn<QString>("base"); // a path on the scripted server, or a whole URL where nothing is sent
        QTest::addColumn<QueryItems>("query");
        QTest::addColumn<QByteArray>("target"); // of the path /p as built (the wire form differs only where noted), or the error
        const auto row = [](const char* name, const char* base, const QByteArray& target, const QueryItems& query = {}) {
            QTest::newRow(name) << QString::fromUtf8(base) << query << target;
        };
        row("base path /v1", "/v1", "/v1/p?");
        // Qt's HTTP stack sends a leading "//" as "/" (a request line starting "//" would read as an authority).
        row("base path /", "/", "//p?");
        row("base query replaced", "/v1?old=1", "/v1/p?projectId=p1&instanceId=i1", {{"projectId", "p1"}, {"instanceId", "i1"}});
        row("values percent-encoded", "", "/p?projectId=a%20b%26c%3Dd%2F%C3%A9", {{"projectId", "a b&c=d/é"}});
        row("item without value", "", "/p?flag&empty=", {{"flag", std::nullopt}, {"empty", ""}});
        row("plain http to 0.0.0.0", "http://0.0.0.0:%1", "insecureEndpoint");
        row("not a URL", "http://exa mple:%1", "urlError");
        row("relative", "v1/api", "urlError");
        row("no host", "https:///v1", "urlError");
        // clang-format on
    }

    // Also: the caller's Content-Type, in any letter case, gives way to JSON; the body goes as it is.
    void requestTarget()
    {
        QFETCH(QString, base);
        QFETCH(QueryItems, query);
        QFETCH(QByteArray, target);
        ScriptedHttpServer server;
        server.enqueue({204});
        const bool sent = target.startsWith('/');
        NerovaClient client(session_, sent ? server.url(base)
                                           : QUrl(base.replace(QLatin1String("%1"), QString::number(server.port()))));
        const HeaderMap headers{{QStringLiteral("Content-Type"), QStringLiteral("text/plain")},
                                {QStringLiteral("content-type"), QStringLiteral("text/html")},
                                {QStringLiteral("x-extra"), QStringLiteral("1")}};
        const QString path = QStringLiteral("/p");
        const QString result = outcome<EmptyRecord>(client, path, query, headers);
        if (!sent) {
            QCOMPARE(result.section(u'(', 0, 0), QString::fromLatin1(target));
            QTest::qWait(50);
            QVERIFY(server.requests().isEmpty());
            return;
        }
        QCOMPARE(result, QStringLiteral("absent"));
        QCOMPARE(client.requestURL(path, query).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), target);
        const RecordedRequest& request = server.requests().at(0);
        QCOMPARE(request.method + ' ' + request.target, "POST " + (target.startsWith("//") ? target.mid(1) : target));
        QCOMPARE(request.headerValues("content-type"), QList<QByteArray>{"application/json"});
        QCOMPARE(request.header("x-extra") + request.body, QByteArray("1{\"a\":1}"));
    }

    void endpointRule()
    {
        // clang-format off
        const std::pair<const char*, bool> cases[] = {
            {"https://presence.example.com/v1", true}, {"http://presence.example.com", false},
            {"http://localhost:8080", true}, {"http://127.1.2.3", true}, {"http://[::1]:9000/", true},
            {"http://0.0.0.0", false}, {"http://localhost.example.com", false}, {"ftp://localhost", false}};
        // clang-format on
        for (const auto& [url, permitted] : cases) {
            QVERIFY2(isPermittedServiceEndpoint(QUrl(QString::fromLatin1(url))) == permitted, url);
        }
    }

    void publicIP_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("outcome");
        const QByteArray address = R"({"ip":"203.0.113.7"})";
        // clang-format off
        QTest::newRow("address") << ScriptedResponse{200, {{"Set-Cookie", "visitor=1; Path=/"}}, R"({"country":"NL","ip":"203.0.113.7"})"} << "ip:203.0.113.7";
        QTest::newRow("201 is not 200") << ScriptedResponse{201, {}, address} << "absent";
        QTest::newRow("no ip") << ScriptedResponse{200, {}, R"({"address":"1.2.3.4"})"} << "error:ip: required key is missing";
        QTest::newRow("not JSON") << ScriptedResponse{200, {}, "203.0.113.7\n"} << "error:malformed JSON";
        QTest::newRow("answer too large") << ScriptedResponse{200, {}, QByteArray(PublicIPClient::maxAnswerBytes + 1, ' ')}
            << R"(error:UnknownContentError("answer larger than 65536 bytes"))";
        QTest::newRow("trickling") << ScriptedResponse{200, {}, address, 0ms, 20ms} << R"(error:TimeoutError("no complete answer within 300 ms"))";
        // clang-format on
    }

    // Every call has a session of its own: a cookie set by one answer is not sent with the next.
    void publicIP()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, outcome);
        ScriptedHttpServer server;
        server.route("/", answer);
        const PublicIPClient client(server.url(QStringLiteral("/?format=json")), 300ms);
        for (int i = 0; i < 2; ++i) {
            QString result = QStringLiteral("absent");
            try {
                if (const auto ip = await(client.fetchPublicIP())) {
                    result = QStringLiteral("ip:") + *ip;
                }
            } catch (const std::exception& error) {
                result = QStringLiteral("error:") + describeException(error);
            }
            QVERIFY2(result.startsWith(outcome), qPrintable(result));
            QCOMPARE(server.requests().size(), i + 1);
            QCOMPARE(server.requests()[i].method + ' ' + server.requests()[i].target, QByteArray("GET /?format=json"));
            QVERIFY(!server.requests()[i].hasHeader("cookie"));
        }
    }
    void download_data()
    {
        QTest::addColumn<DownloadRow>("row");
        const QString writeFailed = QStringLiteral("Error fetching fingerprint writeFailed(");
        // clang-format off
        const DownloadRow rows[] = {
            {"200 replaces the copy", {200, etag("W/\"t1\""), servedFile(2)}, "W/\"t1\"", 2},
            {"200 undecodable: its tag forgotten", {200, etag("\"t2\""), "<html/>"}, "", 1, "Error fetching fingerprint "},
            {"304", {304, etag(t0.toUtf8())}},
            {"500 without Etag", {500, {}, "oops"}, ""},
            {"404 with Etag", {404, etag("\"t3\""), servedFile(3)}, "\"t3\"", 1, "", "", ""},
            // The server would answer "not modified" to the tag for ever: it is forgotten.
            {"304 on a corrupt copy", {304, etag(t0.toUtf8())}, "", 0, "malformed JSON", "", t0, -1},
            {"file URL: read like a 200, tag kept", {}, t0, 4, "", "file", t0, 0},
            // Failures without an answer change nothing.
            {"not a URL", {}, t0, 1, "urlError", "http://exa mple/f.json"},
            {"no scheme", {}, t0, 1, "urlError", "files/f.json"},
            {"trickling body", {200, etag("\"t9\""), servedFile(2), 0ms, 50ms}, t0, 1, "TimeoutError"},
            {"file over 32 MiB", {200, etag("\"t9\""), servedFile(2, 32 * 1024 * 1024)}, t0, 1, "UnknownContentError"},
            // The old copy stays whole; the tag of the file not kept is forgotten.
            {"write fails", {200, etag("\"t2\""), servedFile(2, 64 * 1024)}, "", 1, writeFailed, "", "\"t1\"", 1, 16 * 1024},
            {"write fails within the write buffer", {200, etag("\"t2\""), servedFile(2, 12 * 1024)}, "", 1, writeFailed, "", "\"t1\"", 1, 8 * 1024},
        };
        // clang-format on
        for (const DownloadRow& row : rows) {
            QTest::newRow(row.name) << row;
        }
    }

    void download()
    {
        QFETCH(DownloadRow, row);
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
        // The scripted server's address is asked once; the other rows send nothing.
        QCOMPARE(server.requests().size(), row.url.isEmpty() ? 1 : 0);
        if (row.url.isEmpty()) {
            const RecordedRequest& request = server.requests()[0];
            QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /f.json?sig=1"));
            QCOMPARE(request.headerValues("if-none-match"),
                     row.tagBefore.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{row.tagBefore.toUtf8()});
        }
        const QStringList left = QDir(dir.filePath(QStringLiteral("data"))).entryList(QDir::Files);
        QVERIFY2(left.size() <= 1, qPrintable(left.join(u' '))); // no temporary file left
    }
};

QTEST_GUILESS_MAIN(NerovaClientTest)
#include "NerovaClientTest.moc"
