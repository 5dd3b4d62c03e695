#include "service/NerovaClient.h"
#include "common/Await.h"
#include "network/URLLoadingError.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "support/ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QTest>

using namespace nerova;
using namespace nerova::test;
using namespace std::chrono_literals;

namespace {

const QByteArray serverError404 = R"({"statusCode":404,"message":"No such agent"})";

// What one post came to, as a short text the tables compare.
template <typename Response>
QString outcome(NerovaClient& client, const QString& path = QStringLiteral("/check"), QueryItems query = {})
{
    try {
        const std::optional<Response> response = await(client.post<Response>(path, "{\"a\":1}", {}, query));
        return response ? QStringLiteral("present") : QStringLiteral("absent");
    } catch (const NerovaClientError& error) {
        return error.description();
    } catch (const JsonDecodeError&) {
        return QStringLiteral("JsonDecodeError");
    } catch (const URLLoadingError& error) {
        return QStringLiteral("URLLoadingError ") + error.description().section(u'(', 0, 0);
    }
}

} // namespace

class NerovaClientTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager session_;

private slots:
    void answers_data()
    {
        // clang-format off
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("requiredFields"); // decode as a check-in answer, else as a record without fields
        QTest::addColumn<QString>("expected");

        QTest::newRow("204 without body") << 204 << QByteArray() << true << "absent";
        QTest::newRow("200 {} for an empty record") << 200 << QByteArray("{}") << false << "present";
        QTest::newRow("200 {} for required fields") << 200 << QByteArray("{}") << true << "JsonDecodeError";
        QTest::newRow("200 optional fields missing") << 200 << QByteArray(R"({"enableDebug":false})") << true
            << "present";
        QTest::newRow("200 optional field null") << 200
            << QByteArray(R"({"fingerprintFileUrl":"u","urlExpiresAt":null,"enableDebug":true})") << true << "present";
        QTest::newRow("200 shaped like ServerError") << 200 << serverError404 << false << "present";
        QTest::newRow("200 array for a record") << 200 << QByteArray("[]") << false << "JsonDecodeError";
        QTest::newRow("299 is a success") << 299 << QByteArray("{}") << false << "present";
        QTest::newRow("404 with ServerError") << 404 << serverError404 << false
            << R"(serverError(statusCode: 404, message: "No such agent"))";
        QTest::newRow("400 carrying 412") << 400 << QByteArray(R"({"statusCode":412,"message":"Unknown"})") << false
            << R"(serverError(statusCode: 412, message: "Unknown"))";
        QTest::newRow("500 with HTML") << 500 << QByteArray("<html>oops</html>") << false
            << "httpError(statusCode: 500)";
        QTest::newRow("500 without body") << 500 << QByteArray() << false << "httpError(statusCode: 500)";
        QTest::newRow("300 is a failure") << 300 << QByteArray("x") << false << "httpError(statusCode: 300)";
        // Statuses Qt reports as failures of its own are answers all the same.
        QTest::newRow("407 with ServerError") << 407 << serverError404 << false
            << R"(serverError(statusCode: 404, message: "No such agent"))";
        QTest::newRow("305 without body") << 305 << QByteArray() << false << "httpError(statusCode: 305)";
        QTest::newRow("302 without Location") << 302 << QByteArray("x") << false << "httpError(statusCode: 302)";
        QTest::newRow("answer over 1 MiB") << 200 << QByteArray("{}" + QByteArray(1024 * 1024, ' '))
            << false << "URLLoadingError UnknownContentError";
        // clang-format on
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, requiredFields);
        QFETCH(QString, expected);

        ScriptedHttpServer server;
        server.enqueue({status, {}, body});
        NerovaClient client(session_, server.url());
        QCOMPARE(requiredFields ? outcome<AgentCheckinResponse>(client) : outcome<EmptyRecord>(client), expected);
        QCOMPARE(server.requests().size(), 1);
    }

    void requestTarget_data()
    {
        // clang-format off
        QTest::addColumn<QString>("base"); // a path on the scripted server, or a whole URL where nothing is sent
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("query"); // name=value pairs; a name alone has no value
        QTest::addColumn<QByteArray>("target"); // as built (the wire form differs only where noted), or the error

        QTest::newRow("no base path") << "" << "/registration" << QStringList() << QByteArray("/registration?");
        QTest::newRow("base path /v1") << "/v1" << "/presence" << QStringList() << QByteArray("/v1/presence?");
        // Qt's HTTP stack sends a leading "//" as "/" (a request line starting "//" would read as an authority).
        QTest::newRow("base path /") << "/" << "/presence" << QStringList() << QByteArray("//presence?");
        QTest::newRow("base query replaced") << "/v1?old=1" << "/p" << QStringList{"projectId=p1", "instanceId=i1"}
            << QByteArray("/v1/p?projectId=p1&instanceId=i1");
        QTest::newRow("values percent-encoded") << "" << "/p" << QStringList{"projectId=a b&c=d/é"}
            << QByteArray("/p?projectId=a%20b%26c%3Dd%2F%C3%A9");
        QTest::newRow("item without value") << "" << "/p" << QStringList{"flag", "empty="}
            << QByteArray("/p?flag&empty=");
        QTest::newRow("plain http to 0.0.0.0") << "http://0.0.0.0:%1" << "/p" << QStringList()
            << QByteArray("insecureEndpoint");
        QTest::newRow("not a URL") << "http://exa mple:%1" << "/p" << QStringList() << QByteArray("urlError");
        QTest::newRow("relative") << "v1/api" << "/p" << QStringList() << QByteArray("urlError");
        QTest::newRow("no host") << "https:///v1" << "/p" << QStringList() << QByteArray("urlError");
        // clang-format on
    }

    void requestTarget()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(QStringList, query);
        QFETCH(QByteArray, target);

        QueryItems items;
        for (const QString& pair : query) {
            const qsizetype equals = pair.indexOf(u'=');
            items.append(equals < 0 ? QueryItem{pair, std::nullopt}
                                    : QueryItem{pair.left(equals), pair.mid(equals + 1)});
        }
        ScriptedHttpServer server;
        server.enqueue({204, {}, {}});
        const bool sent = target.startsWith('/');
        NerovaClient client(session_, sent ? server.url(base)
                                           : QUrl(base.replace(QLatin1String("%1"), QString::number(server.port()))));
        const QString result = outcome<EmptyRecord>(client, path, items);
        if (!sent) {
            QCOMPARE(result.section(u'(', 0, 0), QString::fromLatin1(target));
            QTest::qWait(50);
            QVERIFY(server.requests().isEmpty());
            return;
        }
        QCOMPARE(result, QStringLiteral("absent"));
        QCOMPARE(client.requestURL(path, items).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), target);
        QCOMPARE(server.requests().at(0).method + ' ' + server.requests()[0].target,
                 "POST " + (target.startsWith("//") ? target.mid(1) : target));
    }

    void contentTypeIsOverridden_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("Content-Type") << "Content-Type";
        QTest::newRow("content-type") << "content-type";
    }

    void contentTypeIsOverridden()
    {
        QFETCH(QString, name);
        ScriptedHttpServer server;
        server.enqueue({204, {}, {}});
        NerovaClient client(session_, server.url());
        const QByteArray body = "{\"k\":\"v\u00e9\"}\n";
        const HeaderMap headers{{name, QStringLiteral("text/plain")}, {QStringLiteral("x-extra"), QStringLiteral("1")}};
        await(client.postData(QStringLiteral("/p"), body, headers, {}));
        const RecordedRequest& request = server.requests().at(0);
        QCOMPARE(request.headerValues("content-type"), QList<QByteArray>{"application/json"});
        QCOMPARE(request.header("x-extra"), QByteArray("1"));
        QCOMPARE(request.body, body);
    }

    void redirects_data()
    {
        // clang-format off
        QTest::addColumn<QString>("location"); // %1 is the scripted server's port
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("requests");
        QTest::newRow("same server: followed") << "http://127.0.0.1:%1/moved" << "present" << 2;
        // 0.0.0.0 reaches this machine, so a followed redirect would show up as a second request.
        QTest::newRow("plain http elsewhere: refused") << "http://0.0.0.0:%1/moved"
            << R"(insecureEndpoint("http://0.0.0.0:%1/moved"))" << 1;
        // clang-format on
    }

    void redirects()
    {
        QFETCH(QString, location);
        QFETCH(QString, expected);
        QFETCH(int, requests);
        ScriptedHttpServer server;
        server.enqueue({307, {{"Location", location.arg(server.port()).toUtf8()}}, {}});
        server.enqueue({200, {}, "{}"});
        NerovaClient client(session_, server.url());
        const QString result = outcome<EmptyRecord>(client);
        QVERIFY2(result.startsWith(expected.replace(QLatin1String("%1"), QString::number(server.port()))),
                 qPrintable(result));
        QCOMPARE(server.requests().size(), requests);
    }

    void endpointRule_data()
    {
        // clang-format off
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("permitted");
        QTest::newRow("https") << "https://presence.example.com/v1" << true;
        QTest::newRow("http to a name") << "http://presence.example.com" << false;
        QTest::newRow("http localhost") << "http://localhost:8080" << true;
        QTest::newRow("http 127.1.2.3") << "http://127.1.2.3" << true;
        QTest::newRow("http [::1]") << "http://[::1]:9000/" << true;
        QTest::newRow("http 0.0.0.0") << "http://0.0.0.0" << false;
        QTest::newRow("http localhost.example.com") << "http://localhost.example.com" << false;
        QTest::newRow("ftp") << "ftp://localhost" << false;
        // clang-format on
    }

    void endpointRule()
    {
        QFETCH(QString, url);
        QFETCH(bool, permitted);
        QCOMPARE(isPermittedServiceEndpoint(QUrl(url)), permitted);
    }

    void transportFailures_data()
    {
        // clang-format off
        QTest::addColumn<int>("status");     // 0: nothing listens
        QTest::addColumn<int>("delayMs");    // before the head
        QTest::addColumn<int>("dripMs");     // the body one byte at this interval, without end
        QTest::addColumn<QString>("header"); // the value of a header the caller passes
        QTest::addColumn<QString>("expected");
        QTest::newRow("refused") << 0 << 0 << 0 << "k" << "URLLoadingError ConnectionRefusedError";
        QTest::newRow("slow head") << 200 << 2000 << 0 << "k" << "URLLoadingError TimeoutError";
        // Each byte restarts a transfer timeout: only a bound on the whole call ends this.
        QTest::newRow("trickling body") << 200 << 0 << 50 << "k" << "URLLoadingError TimeoutError";
        QTest::newRow("LF in a header value") << 200 << 0 << 0 << "k\nX-Injected: 1"
            << "URLLoadingError ProtocolInvalidOperationError";
        QTest::newRow("CR LF in a header value") << 200 << 0 << 0 << "k\r\nX-Injected: 1"
            << "URLLoadingError ProtocolInvalidOperationError";
        // clang-format on
    }

    void transportFailures()
    {
        QFETCH(int, status);
        QFETCH(int, delayMs);
        QFETCH(int, dripMs);
        QFETCH(QString, header);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        server.enqueue({status, {}, "{}", std::chrono::milliseconds(delayMs), std::chrono::milliseconds(dripMs)});
        const QUrl url = status == 0 ? QUrl(QStringLiteral("http://127.0.0.1:%1").arg(ScriptedHttpServer::unusedPort()))
                                     : server.url();
        NerovaClient client(session_, url, 300ms);
        try {
            await(client.postData(QStringLiteral("/p"), "{}", {{QStringLiteral("x-key"), header}}, {}));
            QFAIL("no error");
        } catch (const URLLoadingError& error) {
            QCOMPARE(QStringLiteral("URLLoadingError ") + error.description().section(u'(', 0, 0), expected);
        }
        if (header.contains(u'\n')) {
            QTest::qWait(50);
            QVERIFY(server.requests().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(NerovaClientTest)
#include "NerovaClientTest.moc"
