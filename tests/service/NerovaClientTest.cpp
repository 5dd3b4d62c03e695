#include "service/NerovaClient.h"
#include "service/NerovaCheckinClient.h"
#include "service/NerovaClientError.h"
#include "service/URLLoadingError.h"
#include "common/Await.h"
#include "support/ScriptedHttpServer.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QTest>

using namespace nerova;
using namespace nerova::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(nerova::test::RawHeaders)

namespace {

const QByteArray serverError404 = R"({"statusCode":404,"message":"No such agent"})";

// What one post came to, as a short text the tables compare.
template <typename Response>
QString outcome(NerovaClient& client, const QString& path = QStringLiteral("/check"), HeaderMap headers = {},
                QueryItems query = {})
{
    try {
        const std::optional<Response> response =
            await(client.post<Response>(path, QByteArrayLiteral("{\"a\":1}"), headers, query));
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
        QTest::addColumn<bool>("requiredFields"); // decode as a record with required fields
        QTest::addColumn<QString>("expected");

        QTest::newRow("204 without body") << 204 << QByteArray() << true << "absent";
        QTest::newRow("200 without body") << 200 << QByteArray() << true << "absent";
        QTest::newRow("200 {} for an empty record") << 200 << QByteArray("{}") << false << "present";
        QTest::newRow("200 {} for required fields") << 200 << QByteArray("{}") << true << "JsonDecodeError";
        QTest::newRow("201 with a record") << 201 << QByteArray(R"({"enableDebug":false})") << true << "present";
        QTest::newRow("200 shaped like ServerError") << 200 << serverError404 << false << "present";
        QTest::newRow("200 not JSON") << 200 << QByteArray("<html>hi</html>") << false << "JsonDecodeError";
        QTest::newRow("200 array for a record") << 200 << QByteArray("[]") << false << "JsonDecodeError";
        QTest::newRow("404 with ServerError") << 404 << serverError404 << false
            << R"(serverError(statusCode: 404, message: "No such agent"))";
        QTest::newRow("400 carrying 412") << 400 << QByteArray(R"({"statusCode":412,"message":"Unknown"})") << false
            << R"(serverError(statusCode: 412, message: "Unknown"))";
        QTest::newRow("500 with HTML") << 500 << QByteArray("<html>oops</html>") << false
            << "httpError(statusCode: 500)";
        QTest::newRow("500 without body") << 500 << QByteArray() << false << "httpError(statusCode: 500)";
        QTest::newRow("500 statusCode as text") << 500 << QByteArray(R"({"statusCode":"500","message":"x"})") << false
            << "httpError(statusCode: 500)";
        QTest::newRow("500 message missing") << 500 << QByteArray(R"({"statusCode":500})") << false
            << "httpError(statusCode: 500)";
        QTest::newRow("304 is a failure") << 304 << QByteArray() << false << "httpError(statusCode: 304)";
        QTest::newRow("300 is a failure") << 300 << QByteArray("x") << false << "httpError(statusCode: 300)";
        QTest::newRow("299 is a success") << 299 << QByteArray("{}") << false << "present";
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
        const QString result = requiredFields ? outcome<AgentCheckinResponse>(client) : outcome<EmptyRecord>(client);
        QCOMPARE(result, expected);
        QCOMPARE(server.requests().size(), 1);
    }

    void serverErrorCarriesItsFields()
    {
        ScriptedHttpServer server;
        server.enqueue({404, {}, R"({"statusCode":404,"message":"m","defaultMessage":"d"})"});
        server.enqueue({500, {{"X-Trace", "t1"}}, "<html/>"});
        NerovaClient client(session_, server.url());
        try {
            await(client.post<EmptyRecord>(QStringLiteral("/x"), "{}", {}, {}));
            QFAIL("no error");
        } catch (const NerovaClientError& error) {
            QCOMPARE(error.errorCase(), NerovaClientError::Case::serverError);
            QCOMPARE(error.serverError()->statusCode, 404);
            QCOMPARE(error.serverError()->message, QStringLiteral("m"));
            QCOMPARE(error.serverError()->defaultMessage, std::optional<QString>(QStringLiteral("d")));
        }
        try {
            await(client.post<EmptyRecord>(QStringLiteral("/x"), "{}", {}, {}));
            QFAIL("no error");
        } catch (const NerovaClientError& error) {
            QCOMPARE(error.errorCase(), NerovaClientError::Case::httpError);
            QCOMPARE(error.response()->statusCode, 500);
            QCOMPARE(error.response()->header("x-trace"), std::optional<QByteArray>("t1"));
        }
    }

    void requestTarget_data()
    {
        // clang-format off
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("query"); // name=value pairs; a name alone has no value
        QTest::addColumn<QByteArray>("target"); // as built; the wire form differs only where noted

        QTest::newRow("no base path") << "" << "/registration" << QStringList() << QByteArray("/registration?");
        QTest::newRow("base path /v1") << "/v1" << "/presence" << QStringList() << QByteArray("/v1/presence?");
        // Qt's HTTP stack sends a leading "//" as "/" (a request line starting "//" would read as an authority).
        QTest::newRow("base path /") << "/" << "/presence" << QStringList() << QByteArray("//presence?");
        QTest::newRow("base path /api/") << "/api/" << "/x/check-in" << QStringList()
            << QByteArray("/api//x/check-in?");
        QTest::newRow("base query replaced") << "/v1?old=1" << "/p" << QStringList{"projectId=p1", "instanceId=i1"}
            << QByteArray("/v1/p?projectId=p1&instanceId=i1");
        QTest::newRow("values percent-encoded") << "" << "/p" << QStringList{"projectId=a b&c=d/é"}
            << QByteArray("/p?projectId=a%20b%26c%3Dd%2F%C3%A9");
        QTest::newRow("item without value") << "" << "/p" << QStringList{"flag", "empty="}
            << QByteArray("/p?flag&empty=");
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
        NerovaClient client(session_, server.url(base));
        QCOMPARE(outcome<EmptyRecord>(client, path, {}, items), QStringLiteral("absent"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(client.requestURL(path, items).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), target);
        QCOMPARE(server.requests()[0].target, target.startsWith("//") ? target.mid(1) : target);
        QCOMPARE(server.requests()[0].method, QByteArray("POST"));
    }

    void headersAndBody_data()
    {
        // clang-format off
        QTest::addColumn<QString>("name");
        QTest::newRow("Content-Type") << "Content-Type";
        QTest::newRow("content-type") << "content-type";
        // clang-format on
    }

    void headersAndBody()
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

    void redirectsOnTheSameServerAreFollowed()
    {
        ScriptedHttpServer server;
        server.enqueue({307, {{"Location", server.url(QStringLiteral("/moved")).toEncoded()}}, {}});
        server.enqueue({200, {}, "{}"});
        NerovaClient client(session_, server.url());
        QCOMPARE(outcome<EmptyRecord>(client), QStringLiteral("present"));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(server.requests()[1].path(), QByteArray("/moved"));
    }

    void redirectsToAPlainHttpHostAreRefused()
    {
        // 0.0.0.0 reaches this machine, so a followed redirect would show up as a second request.
        ScriptedHttpServer server;
        const QByteArray target = "http://0.0.0.0:" + QByteArray::number(server.port()) + "/moved";
        server.enqueue({307, {{"Location", target}}, {}});
        server.enqueue({200, {}, "{}"});
        NerovaClient client(session_, server.url());
        QCOMPARE(outcome<EmptyRecord>(client).section(u'(', 0, 0), QStringLiteral("insecureEndpoint"));
        QCOMPARE(server.requests().size(), 1);
    }

    void endpointRule_data()
    {
        // clang-format off
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("permitted");
        QTest::newRow("https") << "https://presence.example.com/v1" << true;
        QTest::newRow("HTTPS upper case") << "HTTPS://presence.example.com" << true;
        QTest::newRow("http to a name") << "http://presence.example.com" << false;
        QTest::newRow("http localhost") << "http://localhost:8080" << true;
        QTest::newRow("http LOCALHOST") << "http://LOCALHOST:8080" << true;
        QTest::newRow("http 127.0.0.1") << "http://127.0.0.1:1" << true;
        QTest::newRow("http 127.1.2.3") << "http://127.1.2.3" << true;
        QTest::newRow("http [::1]") << "http://[::1]:9000/" << true;
        QTest::newRow("http 0.0.0.0") << "http://0.0.0.0" << false;
        QTest::newRow("http private address") << "http://10.0.0.1" << false;
        QTest::newRow("http localhost.example.com") << "http://localhost.example.com" << false;
        QTest::newRow("http 127.0.0.1.nip") << "http://127.0.0.1.example.com" << false;
        QTest::newRow("ftp") << "ftp://localhost" << false;
        QTest::newRow("file") << "file:///tmp/x" << false;
        // clang-format on
    }

    void endpointRule()
    {
        QFETCH(QString, url);
        QFETCH(bool, permitted);
        QCOMPARE(isPermittedServiceEndpoint(QUrl(url)), permitted);
    }

    void refusedEndpointsSendNothing_data()
    {
        // clang-format off
        QTest::addColumn<QString>("base"); // %1 is the scripted server's port
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain http to 0.0.0.0") << "http://0.0.0.0:%1" << "insecureEndpoint";
        QTest::newRow("not a URL") << "http://exa mple:%1" << "urlError";
        QTest::newRow("relative") << "v1/api" << "urlError";
        QTest::newRow("empty") << "" << "urlError";
        QTest::newRow("no host") << "https:///v1" << "urlError";
        // clang-format on
    }

    void refusedEndpointsSendNothing()
    {
        QFETCH(QString, base);
        QFETCH(QString, expected);
        ScriptedHttpServer server;
        NerovaClient client(session_, QUrl(base.contains(u'%') ? base.arg(server.port()) : base));
        QCOMPARE(outcome<EmptyRecord>(client).section(u'(', 0, 0), expected);
        QTest::qWait(50);
        QVERIFY(server.requests().isEmpty());
    }

    void transportFailures()
    {
        const quint16 closedPort = ScriptedHttpServer::unusedPort();
        NerovaClient refused(session_, QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedPort)));
        QCOMPARE(outcome<EmptyRecord>(refused), QStringLiteral("URLLoadingError ConnectionRefusedError"));

        ScriptedHttpServer slow;
        slow.enqueue({200, {}, "{}", 2s});
        NerovaClient impatient(session_, slow.url(), 200ms);
        QCOMPARE(outcome<EmptyRecord>(impatient), QStringLiteral("URLLoadingError OperationCanceledError"));
    }
};

QTEST_GUILESS_MAIN(NerovaClientTest)
#include "NerovaClientTest.moc"
