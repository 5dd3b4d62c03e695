// The engine with the real ICMP and TCP probes, in a network namespace of the test's own: pings to
// loopback and to a host that never answers, TCP connections to local servers that greet, stay
// silent or refuse.
#include "common/Await.h"
#include "rules/RulesEngine.h"
#include "support/PrivateNetwork.h"
#include "support/ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

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
    explicit RulesEngineProbesTest(std::optional<QString> isolationFailure)
        : isolationFailure_(std::move(isolationFailure))
    {}

private:
    std::optional<QString> isolationFailure_;
    std::unique_ptr<test::SilentHost> silentHost_;
    std::vector<std::unique_ptr<QTcpServer>> servers_;
    QHash<QString, QString> hostports_; // stand-ins of the table -> 127.0.0.1:port
    RulesEngineEvaluation evaluation_;  // of the last matches()

    // A loopback server that writes `greeting` to every connection.
    QString serve(const QByteArray& greeting)
    {
        QTcpServer* server = servers_.emplace_back(std::make_unique<QTcpServer>()).get();
        server->listen(QHostAddress::LocalHost);
        QObject::connect(server, &QTcpServer::newConnection, server, [server, greeting] {
            while (QTcpSocket* socket = server->nextPendingConnection()) {
                socket->setParent(server);
                socket->write(greeting);
            }
        });
        return QStringLiteral("127.0.0.1:%1").arg(server->serverPort());
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
        hostports_.insert(QStringLiteral("BANNER"), serve("SSH-2.0-OpenSSH_9.2\r\n"));
        hostports_.insert(QStringLiteral("QUIET"), serve(QByteArray()));
        hostports_.insert(QStringLiteral("BINARY"), serve(QByteArray("\xc3\x28\xff", 3)));
        hostports_.insert(QStringLiteral("REFUSED"),
                          QStringLiteral("127.0.0.1:%1").arg(test::ScriptedHttpServer::unusedPort()));
    }

    void probes_data()
    {
        QTest::addColumn<FingerprintCondition>("condition");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("observed"); // the start of what the condition observed

        const QString silent = QString::fromLatin1(test::SilentHost::address);
        // clang-format off
        QTest::newRow("ping loopback") << ping("127.0.0.1") << true << "answered in ";
        QTest::newRow("ping silent host") << ping(silent) << false << "no answer: timedOut";
        QTest::newRow("ping silent host, inverted") << ping(silent, true) << true << "no answer: timedOut";
        QTest::newRow("banner matches") << connection("BANNER", "^SSH-2\\.0-") << true << "21 bytes received";
        QTest::newRow("banner does not match") << connection("BANNER", "^HTTP") << false << "21 bytes received";
        QTest::newRow("silent server gives the empty text") << connection("QUIET", "^$") << true << "0 bytes received";
        QTest::newRow("bytes that are not UTF-8 give the empty text") << connection("BINARY", "^$") << true << "3 bytes received";
        QTest::newRow("connection refused") << connection("REFUSED", ".*") << false << "connection failed: connectionFailed(";
        // clang-format on
    }

    void probes()
    {
        QFETCH(FingerprintCondition, condition);
        QFETCH(bool, expected);
        QFETCH(QString, observed);

        for (FingerprintConditionArgument& argument : condition.arguments) {
            argument.value = hostports_.value(argument.value, argument.value);
        }
        QCOMPARE(matches({condition}), expected);
        QVERIFY2(this->observed().at(0).startsWith(observed), qPrintable(this->observed().at(0)));
    }

    // Each ping condition has a pinger of its own, so pings of one evaluation never refuse each other.
    void concurrentProbesEachHaveTheirOwn()
    {
        const FingerprintCondition loopback = ping(QStringLiteral("127.0.0.1"));
        QVERIFY(matches({loopback, loopback, loopback, connection(hostports_.value("BANNER"), QStringLiteral("SSH"))}));
        const QStringList seen = observed();
        QVERIFY2(seen.filter(QRegularExpression(QStringLiteral("^answered in "))).size() == 3,
                 qPrintable(seen.join(u'\n')));
    }
};

int main(int argc, char* argv[])
{
    // Before QCoreApplication and any thread, so that every thread (the resolver's included)
    // lives in the private namespace.
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    RulesEngineProbesTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "RulesEngineProbesTest.moc"
