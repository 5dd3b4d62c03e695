// The engine with the real ICMP and TCP probes, in a network namespace of the test's own: pings to
// loopback and to a host that never answers, TCP connections to local servers that greet, stay
// silent or refuse.
#include "PrivateNetwork.h"
#include "common/Await.h"
#include "common/CaptureLogSink.h"
#include "rules/RulesEngine.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace nerova;
using Type = FingerprintConditionType;

Q_DECLARE_METATYPE(FingerprintCondition)

namespace {

// Accepts connections on loopback and writes `greeting` to each, or nothing when it is empty.
class GreetingServer {
public:
    explicit GreetingServer(QByteArray greeting)
    {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this, greeting] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(&server_);
                if (!greeting.isEmpty()) {
                    socket->write(greeting);
                }
            }
        });
    }
    QString hostport() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }

private:
    QTcpServer server_;
};

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
    std::unique_ptr<GreetingServer> banner_;
    std::unique_ptr<GreetingServer> quiet_;
    std::unique_ptr<GreetingServer> binary_;
    QString refusedHostport_;
    std::shared_ptr<CaptureLogSink> sink_;

    // Whether one fingerprint holding one rule with `conditions` matches.
    bool matches(std::vector<FingerprintCondition> conditions)
    {
        sink_ = std::make_shared<CaptureLogSink>();
        const Logger logger(QStringLiteral("app.nerova.NerovaAgent"), QStringLiteral("RulesEngine"), sink_);
        QNetworkAccessManager network;
        RulesEngine engine(logger, network, makeSystemProbes(logger));
        FingerprintFile file{{{QStringLiteral("fp"),
                               QStringLiteral("Office"),
                               {QStringLiteral("hq"), {}, {}, {}},
                               {{QStringLiteral("Main"), std::move(conditions)}}}},
                             1,
                             QDateTime::currentDateTimeUtc()};
        return await(engine.checkFingerprints(std::move(file), NetworkContext{})).has_value();
    }

    QStringList engineLines() const
    {
        QStringList lines;
        for (const LogRecord& record : sink_->records()) {
            if (record.category == u"RulesEngine") {
                lines.append(logLevelName(record.level) + u' ' + record.format);
            }
        }
        return lines;
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
        banner_ = std::make_unique<GreetingServer>("SSH-2.0-OpenSSH_9.2\r\n");
        quiet_ = std::make_unique<GreetingServer>(QByteArray());
        binary_ = std::make_unique<GreetingServer>(QByteArray("\xc3\x28\xff", 3));
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        refusedHostport_ = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    }

    void probes_data()
    {
        QTest::addColumn<FingerprintCondition>("condition");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("lastLine"); // format of the engine's last line before "Finished fingerprint check"

        const QString silent = QString::fromLatin1(test::SilentHost::address);
        QTest::newRow("ping loopback") << ping("127.0.0.1") << true << "debug Ping completed in %fs";
        QTest::newRow("ping silent host") << ping(silent) << false << "debug Ping failed with error: %@";
        QTest::newRow("ping silent host, inverted") << ping(silent, true) << true << "debug Ping failed with error: %@";
        QTest::newRow("banner matches") << connection("BANNER", "^SSH-2\\.0-") << true
                                        << "debug Regex result is %{bool}d";
        QTest::newRow("banner does not match")
            << connection("BANNER", "^HTTP") << false << "debug Regex result is %{bool}d";
        QTest::newRow("silent server gives the empty text")
            << connection("QUIET", "^$") << true << "debug Regex result is %{bool}d";
        QTest::newRow("bytes that are not UTF-8 give the empty text")
            << connection("BINARY", "^$") << true << "debug Regex result is %{bool}d";
        QTest::newRow("connection refused")
            << connection("REFUSED", ".*") << false << "info Caught error in async connection %@";
    }

    void probes()
    {
        QFETCH(FingerprintCondition, condition);
        QFETCH(bool, expected);
        QFETCH(QString, lastLine);

        for (FingerprintConditionArgument& argument : condition.arguments) {
            argument.value.replace(QLatin1String("BANNER"), banner_->hostport())
                .replace(QLatin1String("QUIET"), quiet_->hostport())
                .replace(QLatin1String("BINARY"), binary_->hostport())
                .replace(QLatin1String("REFUSED"), refusedHostport_);
        }
        QCOMPARE(matches({condition}), expected);
        const QStringList lines = engineLines();
        QCOMPARE(lines.at(lines.size() - 2), lastLine);
    }

    void probesLogUnderTheirOwnCategories()
    {
        QVERIFY(matches({ping(QStringLiteral("127.0.0.1")), connection(banner_->hostport(), QStringLiteral("SSH"))}));
        QSet<QString> categories;
        for (const LogRecord& record : sink_->records()) {
            if (record.category != u"RulesEngine") {
                QCOMPARE(record.subsystem, QStringLiteral("com.nerova.NerovaAgent"));
                categories.insert(record.category);
            }
        }
        QCOMPARE(categories, (QSet<QString>{"SimplePinger", "AsyncConnection"}));
    }

    // Each ping condition has a pinger of its own, so pings of one evaluation never refuse each other.
    void concurrentPingsEachGetAPinger()
    {
        QVERIFY(matches(
            {ping(QStringLiteral("127.0.0.1")), ping(QStringLiteral("127.0.0.1")), ping(QStringLiteral("127.0.0.1"))}));
        QCOMPARE(engineLines().count(QStringLiteral("debug Ping completed in %fs")), 3);
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
