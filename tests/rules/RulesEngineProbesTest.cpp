// The engine with the real ICMP and TCP probes, in a network namespace of the test's own whose DNS
// server never answers: pings to local addresses and to a host that never answers, TCP connections
// to local servers that greet, stay silent or refuse.
#include "common/Await.h"
#include "network/PingError.h"
#include "rules/RulesEngine.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>

using namespace nerova;
using Type = FingerprintConditionType;

Q_DECLARE_METATYPE(FingerprintCondition)

namespace {

FingerprintCondition ping(const QString& address, bool inverted = false)
{
    return {Type::ping, {{QStringLiteral("address"), address}}, {}, inverted};
}

FingerprintCondition connection(const QString& hostport, const QString& pattern)
{
    return {Type::connection, {{QStringLiteral("hostport"), hostport}, {QStringLiteral("match"), pattern}}, {}, false};
}

} // namespace

class RulesEngineProbesTest : public QObject {
    Q_OBJECT

public:
    RulesEngineProbesTest(std::optional<QString> isolationFailure, test::SilentResolver* resolver)
        : isolationFailure_(std::move(isolationFailure)), resolver_(resolver)
    {}

private:
    std::optional<QString> isolationFailure_;
    test::SilentResolver* resolver_;
    std::unique_ptr<test::SilentHost> silentHost_;
    std::vector<std::unique_ptr<QTcpServer>> servers_;
    QHash<QString, QString> ports_;    // stand-ins of the table -> port
    RulesEngineEvaluation evaluation_; // of the last matches()

    // A server on every local IPv4 address that writes `greeting` to every connection.
    QString serve(const QByteArray& greeting)
    {
        QTcpServer* server = servers_.emplace_back(std::make_unique<QTcpServer>()).get();
        server->listen(QHostAddress::AnyIPv4);
        QObject::connect(server, &QTcpServer::newConnection, server, [server, greeting] {
            while (QTcpSocket* socket = server->nextPendingConnection()) {
                socket->setParent(server);
                socket->write(greeting);
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return QString::number(server->serverPort());
    }

    // Whether one fingerprint holding one rule with `conditions` matches.
    bool matches(std::vector<FingerprintCondition> conditions)
    {
        QNetworkAccessManager network;
        RulesEngine engine(network, makeSystemProbes());
        FingerprintFile file{{{"fp", "Office", {"hq", {}, {}, {}}, {{"Main", std::move(conditions)}}}}, 1, {}};
        return await(engine.checkFingerprints(std::move(file), NetworkContext{}, &evaluation_)).has_value();
    }

    // What each condition of the last evaluation observed.
    QStringList observed() const
    {
        QStringList seen;
        for (const ConditionEvaluation& condition : evaluation_.fingerprints.at(0).rules.at(0).conditions) {
            seen.append(condition.observed);
        }
        return seen;
    }

private slots:
    void initTestCase()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
        silentHost_ = std::make_unique<test::SilentHost>();
        if (silentHost_->error()) {
            QSKIP(qPrintable(*silentHost_->error()));
        }
        ports_.insert(QStringLiteral("BANNER"), serve("SSH-2.0-OpenSSH_9.2\r\n"));
        ports_.insert(QStringLiteral("QUIET"), serve(QByteArray()));
        ports_.insert(QStringLiteral("BINARY"), serve(QByteArray("\xc3\x28\xff", 3)));
        ports_.insert(QStringLiteral("REFUSED"), QString::number(test::ScriptedHttpServer::unusedPort()));
    }

    void probes_data()
    {
        QTest::addColumn<FingerprintCondition>("condition");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("observed"); // the start of what the condition observed

        // Addresses that no hosts file names: looking them up would wait for the DNS server. (The TCP
        // rows come first: Qt caches what it looked up.)
        const QString silent = QString::fromLatin1(test::SilentHost::address);
        const QString local = QString::fromLatin1(test::SilentHost::localAddress);
        const QString banner = QStringLiteral("21 bytes received");
        const QString refused = QStringLiteral("connection failed: connectionFailed(");
        // clang-format off
        QTest::newRow("banner matches") << connection("127.0.0.1:BANNER", "^SSH-2\\.0-") << true << banner;
        QTest::newRow("banner of a local address") << connection(local + ":BANNER", "^SSH-2\\.0-") << true << banner;
        QTest::newRow("banner does not match") << connection("127.0.0.1:BANNER", "^HTTP") << false << banner;
        QTest::newRow("silent server gives the empty text") << connection("127.0.0.1:QUIET", "^$") << true
                                                            << "0 bytes received";
        QTest::newRow("bytes that are not UTF-8 give the empty text") << connection("127.0.0.1:BINARY", "^$") << true
                                                                      << "3 bytes received";
        QTest::newRow("connection refused") << connection("127.0.0.1:REFUSED", ".*") << false << refused;
        QTest::newRow("connection to another host refused") << connection(silent + ":REFUSED", ".*") << false
                                                               << refused;
        QTest::newRow("ping loopback") << ping("127.0.0.1") << true << "answered in ";
        QTest::newRow("ping another loopback address") << ping("127.0.0.2") << true << "answered in ";
        QTest::newRow("ping silent host") << ping(silent) << false << "no answer: timedOut";
        QTest::newRow("ping silent host, inverted") << ping(silent, true) << true << "no answer: timedOut";
        // clang-format on
    }

    void probes()
    {
        QFETCH(FingerprintCondition, condition);
        QFETCH(bool, expected);
        QFETCH(QString, observed);

        for (FingerprintConditionArgument& argument : condition.arguments) {
            for (auto port = ports_.cbegin(); port != ports_.cend(); ++port) {
                argument.value.replace(port.key(), port.value());
            }
        }
        resolver_->takeQueries();
        QCOMPARE(matches({condition}), expected);
        QVERIFY2(this->observed().at(0).startsWith(observed), qPrintable(this->observed().at(0)));
        QVERIFY2(resolver_->takeQueries() == 0, "an address was looked up"); // only names are
    }

    // Each ping condition has a pinger of its own, so pings of one evaluation never refuse each other.
    void concurrentProbesEachHaveTheirOwn()
    {
        const FingerprintCondition loopback = ping(QStringLiteral("127.0.0.1"));
        QVERIFY(matches({loopback, loopback, loopback, connection("127.0.0.1:" + ports_.value("BANNER"), "SSH")}));
        const QStringList seen = observed();
        QVERIFY2(seen.filter(QRegularExpression(QStringLiteral("^answered in "))).size() == 3,
                 qPrintable(seen.join(u'\n')));
    }

    // More probes than descriptors: the probes wait for each other instead of failing with "Too many
    // open files". Each connection takes two descriptors here, one of them the server's.
    void probesStayWithinTheDescriptorLimit()
    {
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        const rlimit lowered{128, limit.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        const std::vector conditions(100, connection("127.0.0.1:" + ports_.value("BANNER"), "^SSH-2\\.0-"));
        const bool matched = matches(conditions);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        QVERIFY(matched);
    }

    // Resolving a name counts against the ping's timeout: with a DNS server that never answers, the
    // ping times out instead of waiting for the resolver to give up.
    void resolutionCountsAgainstThePingTimeout()
    {
        const std::shared_ptr<RulesEngineProbes> probes = makeSystemProbes();
        QString outcome;
        try {
            await(probes->ping(QStringLiteral("printer.nerova.test"), 0.5));
        } catch (const PingError& error) {
            outcome = error.description();
        }
        QCOMPARE(outcome, QStringLiteral("timedOut"));
        QVERIFY(resolver_->takeQueries() > 0);
    }
};

int main(int argc, char* argv[])
{
    // Before QCoreApplication and any thread, so that every thread (the resolver's included)
    // lives in the private namespace.
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    std::optional<nerova::test::SilentResolver> resolver;
    if (!isolationFailure) {
        isolationFailure = resolver.emplace().error();
    }
    QCoreApplication app(argc, argv);
    RulesEngineProbesTest test(std::move(isolationFailure), resolver ? &*resolver : nullptr);
    return QTest::qExec(&test, argc, argv);
}

#include "RulesEngineProbesTest.moc"
