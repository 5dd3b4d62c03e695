// The engine with the real probes, in a network namespace of the test's own whose DNS server never
// answers: pings over both ICMP socket kinds, TCP connections and web requests to local servers and
// to a host that never answers.
#include "common/Await.h"
#include "network/IcmpSocketApi.h"
#include "network/URLLoadingError.h"
#include "rules/RulesEngine.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <filesystem>

#include <sys/resource.h>

using namespace nerova;
using namespace std::chrono_literals;
using Type = FingerprintConditionType;
using Conditions = std::vector<FingerprintCondition>;

namespace {

FingerprintCondition ping(const QString& address) { return {Type::ping, {{"address", address}}, {}, false}; }

FingerprintCondition connection(const QString& hostport, const QString& pattern)
{
    return {Type::connection, {{"hostport", hostport}, {"match", pattern}}, {}, false};
}

FingerprintCondition page(const QUrl& url, const QString& pattern)
{
    return {Type::webContent, {{"url", url.toString()}, {"match", pattern}}, {}, false};
}

long openDescriptors() { return long(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

std::optional<QString> isolationFailure; // set in main()
std::optional<test::SilentResolver> resolver;

} // namespace

class RulesEngineProbesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::SilentHost> silentHost_;
    QTcpServer banner_; // on loopback, greets every connection
    QString bannerPort_;
    QNetworkAccessManager network_;

    // What each condition of one fingerprint holding one rule with `conditions` observed, all in
    // one line after "no match: " when the fingerprint does not match.
    QStringList observedWhenMatched(Conditions conditions)
    {
        RulesEngine engine(makeSystemProbes(network_));
        FingerprintFile file{{{"fp", "Office", {"hq", {}, {}, {}}, {{"Main", std::move(conditions)}}}}, 1, {}};
        RulesEngineEvaluation evaluation;
        const bool matched = await(engine.checkFingerprints(std::move(file), NetworkContext{}, evaluation)).has_value();
        QStringList seen;
        for (const ConditionEvaluation& condition : evaluation.fingerprints.at(0).rules.at(0).conditions) {
            seen.append(condition.observed);
        }
        return matched ? seen : QStringList{QStringLiteral("no match: ") + seen.join(u'\n')};
    }

private slots:
    void initTestCase()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
        silentHost_ = std::make_unique<test::SilentHost>();
        if (silentHost_->error()) {
            QSKIP(qPrintable(*silentHost_->error()));
        }
        QVERIFY(banner_.listen(QHostAddress::LocalHost));
        QObject::connect(&banner_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = banner_.nextPendingConnection()) {
                socket->write("SSH-2.0-OpenSSH_9.2\r\n");
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        bannerPort_ = QString::number(banner_.serverPort());
    }

    void probes()
    {
        // Addresses that no hosts file names: looking them up would wait for the DNS server. (The TCP
        // row comes first: Qt caches what it looked up.)
        const QString refused = QString::fromLatin1(test::SilentHost::address) + u':' +
                                QString::number(test::ScriptedHttpServer::unusedPort());
        const struct {
            const char* name;
            Conditions conditions;
            const char* observed; // the start of what the first condition observed; "no match: " first
            bool lookedUp;
        } rows[] = {
            {"connection to another host refused",
             {connection(refused, ".*")},
             "no match: connection failed: connectionFailed(\"Connection refused\")",
             false},
            // Each ping has a pinger of its own: one pinger refuses a second ping while one is running.
            {"three pings at once", Conditions(3, ping("127.0.0.1")), "answered in ", false},
            {"ping a host that never answers",
             {ping(QString::fromLatin1(test::SilentHost::address))},
             "no match: no answer: timedOut",
             false},
            // Resolving counts against the ping's timeout instead of waiting for the resolver to give up.
            {"name the DNS server never answers", {ping("printer.nerova.test")}, "no match: no answer: timedOut", true},
        };
        for (const auto& [name, conditions, observed, lookedUp] : rows) {
            resolver->takeQueries();
            const QString seen = observedWhenMatched(conditions).value(0);
            QVERIFY2(seen.startsWith(QLatin1String(observed)), qPrintable(name + (": " + seen)));
            QVERIFY2((resolver->takeQueries() > 0) == lookedUp, name); // only names are looked up
        }
    }

    // The socket kind follows the sysctl that decides it on a user's machine: datagram sockets when
    // the group may open them, raw ones otherwise. A refusal of both says why.
    void socketKinds()
    {
        const std::pair<const char*, QByteArray> rows[] = {
            {"::1", "0 2147483647"}, {"127.0.0.1", "1 0"}, {"::1", "1 0"}};
        for (const auto& [host, groups] : rows) {
            if (const auto failure = test::writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), groups)) {
                QSKIP(qPrintable(*failure));
            }
            const QStringList seen = observedWhenMatched({ping(QString::fromLatin1(host))});
            QVERIFY2(seen.value(0).startsWith(QLatin1String("answered in ")), qPrintable(seen.value(0)));
        }
        const QString reason = systemIcmpSocketApi()->refusalReason();
        QVERIFY2(reason.contains(QLatin1String("net.ipv4.ping_group_range is \"1 0\", which allows no group at all")) &&
                     reason.contains(QLatin1String("CAP_NET_RAW")),
                 qPrintable(reason));
    }

    // More probes than descriptors: the probes wait for each other instead of failing with "Too many
    // open files". Each connection takes two descriptors here, one of them the server's.
    void probesStayWithinTheDescriptorLimit()
    {
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        const rlimit lowered{128, limit.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        const QStringList seen =
            observedWhenMatched(std::vector(100, connection("127.0.0.1:" + bannerPort_, "^SSH-2\\.0-")));
        ::setrlimit(RLIMIT_NOFILE, &limit);
        QCOMPARE(seen, QStringList(100, QStringLiteral("21 bytes received")));
    }

    // Web pages from a server on loopback: a plain GET that no cache answers, redirects followed, and
    // the whole exchange bounded in time and size.
    void fetch()
    {
        const std::pair<QString, QString> rows[] = {
            // path, and "<status> <body>" or the error
            {"/redirect", "200 welcome"},
            {"/drip", "TimeoutError(\"no complete answer within 300 ms\")"}, // data trickling in past the timeout
            {"/huge", "UnknownContentError(\"answer larger than 16777216 bytes\")"},
        };
        for (const auto& [path, outcome] : rows) {
            test::ScriptedHttpServer server;
            server.route("/ok", {200, {}, "welcome"});
            server.route("/redirect", {302, {{"Location", server.url("/ok").toEncoded()}}, ""});
            server.route("/drip", {200, {}, "still here ", 0ms, 20ms});
            server.route("/huge", {200, {}, QByteArray(RulesEngineProbes::maxWebContentBytes + 1, 'x')});
            // 16 MiB over loopback can take longer than 300 ms on a loaded machine: the size must fail it first.
            const auto probes = makeSystemProbes(network_, path == u"/huge" ? 10s : 300ms);
            QString seen;
            try {
                const HttpResponse response = await(probes->fetch(server.url(path), {}));
                seen = QString::number(response.statusCode.value_or(0)) + u' ' + QString::fromUtf8(response.body);
            } catch (const URLLoadingError& error) {
                seen = error.description();
            }
            QCOMPARE(seen, outcome);
            const test::RecordedRequest& request = server.requests().first();
            QVERIFY(request.method == "GET" && request.target == path.toUtf8() && request.body.isEmpty());
            QVERIFY(!request.hasHeader("content-length") && request.header("cache-control") == "no-cache");
        }
    }

    // A match cancels the probes still running: a ping to a host that never answers, and a TCP
    // connection and a web request to a server that accepts and never says a word. Their sockets
    // close, and the process holds no more descriptors than before. The deciding page is served
    // only once both silent connections are in, so that they are cancelled while connected.
    void cancelledProbesLeaveNoSocketOpen()
    {
        QTcpServer silent;
        QTcpServer office;
        QVERIFY(silent.listen(QHostAddress::LocalHost) && office.listen(QHostAddress::LocalHost));
        QList<QPointer<QTcpSocket>> peers; // of both servers, each gone once its client has closed
        int silentPeers = 0;
        QList<QTcpSocket*> waiting; // office peers whose request has arrived
        const auto answer = [&] {
            while (silentPeers >= 2 && !waiting.isEmpty()) {
                QTcpSocket* peer = waiting.takeFirst();
                peer->write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\noffice");
                peer->disconnectFromHost();
            }
        };
        const auto adopt = [&](QTcpServer& server, auto onPeer) {
            QObject::connect(&server, &QTcpServer::newConnection, this, [&server, &peers, onPeer] {
                while (QTcpSocket* peer = server.nextPendingConnection()) {
                    QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
                    peers.append(peer);
                    onPeer(peer);
                }
            });
        };
        adopt(silent, [&](QTcpSocket*) {
            ++silentPeers;
            answer();
        });
        adopt(office, [&](QTcpSocket* peer) {
            QObject::connect(peer, &QTcpSocket::readyRead, this, [&, peer] {
                QObject::disconnect(peer, &QTcpSocket::readyRead, this, nullptr);
                waiting.append(peer);
                answer();
            });
        });
        const auto url = [](const QTcpServer& server) {
            return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()));
        };
        const auto one = [](const char* name, FingerprintCondition condition) {
            return Fingerprint{name, name, {"hq", {}, {}, {}}, {{"Main", {std::move(condition)}}}};
        };
        const FingerprintFile file{{one("Ping", ping(QString::fromLatin1(test::SilentHost::address))),
                                    one("Tcp", connection("127.0.0.1:" + QString::number(silent.serverPort()), ".*")),
                                    one("Web", page(url(silent), ".*")), one("Office", page(url(office), "office"))},
                                   1,
                                   {}};
        const auto check = [&] {
            silentPeers = 0;
            RulesEngineEvaluation evaluation;
            const std::optional<Fingerprint> match =
                await(RulesEngine(makeSystemProbes(network_)).checkFingerprints(file, NetworkContext{}, evaluation));
            QStringList seen{match ? match->name : QStringLiteral("none")};
            for (const FingerprintEvaluation& fingerprint : evaluation.fingerprints) {
                seen.append(fingerprint.finished ? QStringLiteral("finished") : QStringLiteral("not needed"));
            }
            return seen;
        };
        const QStringList expected{"Office", "not needed", "not needed", "not needed", "finished"};
        const auto allClosed = [&] { return std::ranges::none_of(peers, [](const auto& peer) { return bool(peer); }); };
        QCOMPARE(check(), expected); // first use: the access manager starts what it keeps
        QTRY_VERIFY_WITH_TIMEOUT(allClosed(), 10'000);
        const long before = openDescriptors();
        QCOMPARE(check(), expected);
        QCOMPARE(silentPeers, 2);
        QTRY_VERIFY_WITH_TIMEOUT(allClosed(), 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= before, 10'000);
    }
};

int main(int argc, char* argv[])
{
    // Before QCoreApplication and any thread, so that every thread (the resolver's included)
    // lives in the private namespace.
    isolationFailure = nerova::test::enterPrivateNetwork();
    if (!isolationFailure) {
        isolationFailure = resolver.emplace().error();
    }
    QCoreApplication app(argc, argv);
    RulesEngineProbesTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "RulesEngineProbesTest.moc"
