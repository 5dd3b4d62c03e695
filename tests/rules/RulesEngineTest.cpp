#include "rules/RulesEngine.h"
#include "common/Await.h"
#include "common/CaptureLogSink.h"
#include "support/ScriptedHttpServer.h"

#include <QCoro/QCoroTimer>
#include <QNetworkAccessManager>
#include <QTest>

#include <chrono>

using namespace nerova;
using namespace std::chrono_literals;
using Type = FingerprintConditionType;
using Arguments = std::vector<FingerprintConditionArgument>;

Q_DECLARE_METATYPE(FingerprintCondition)
Q_DECLARE_METATYPE(std::vector<FingerprintCondition>)
Q_DECLARE_METATYPE(std::vector<Fingerprint>)
Q_DECLARE_METATYPE(std::vector<FingerprintConditionArgument>)

namespace {

class FakeProbeError final : public Error {
public:
    explicit FakeProbeError(QString text) : text_(std::move(text)) {}
    QString description() const override { return text_; }

private:
    QString text_;
};

// Stands in for the ICMP and TCP probes. Unknown hosts never answer. A delay makes the probe
// suspend on the event loop, so that overlapping probes can be observed.
class FakeProbes final : public RulesEngineProbes {
public:
    struct Answer {
        std::optional<QByteArray> bytes; // received bytes (ping: the round-trip time as text); absent: raises
        std::chrono::milliseconds delay{0};
    };
    QHash<QString, Answer> answers; // by host for pings, by host:port for connections
    QStringList events;             // "start X" and "end X", in order
    QList<double> pingTimeouts;

    QCoro::Task<double> ping(QString hostName, double timeoutSeconds) override
    {
        pingTimeouts.append(timeoutSeconds);
        const QByteArray bytes = co_await answer(hostName);
        co_return bytes.toDouble();
    }

    QCoro::Task<QByteArray> receive(QString host, quint16 port) override
    {
        co_return co_await answer(host + u':' + QString::number(port));
    }

private:
    QCoro::Task<QByteArray> answer(QString key)
    {
        events.append(QStringLiteral("start ") + key);
        const Answer answer = answers.value(key);
        if (answer.delay > 0ms) {
            co_await QCoro::sleepFor(answer.delay);
        }
        events.append(QStringLiteral("end ") + key);
        if (!answer.bytes) {
            throw FakeProbeError(QStringLiteral("timedOut"));
        }
        co_return *answer.bytes;
    }
};

FingerprintCondition condition(Type type, Arguments arguments, bool inverted = false,
                               std::vector<FingerprintRule> rules = {})
{
    return {type, std::move(arguments), std::move(rules), inverted};
}

FingerprintCondition inRange(const QString& range, bool inverted = false)
{
    return condition(Type::internalIp, {{QStringLiteral("cidrRange"), range}}, inverted);
}

FingerprintCondition pingTo(const QString& host, bool inverted = false)
{
    return condition(Type::ping, {{QStringLiteral("address"), host}}, inverted);
}

FingerprintRule rule(const QString& name, std::vector<FingerprintCondition> conditions)
{
    return {name, std::move(conditions)};
}

Fingerprint fingerprint(const QString& name, std::vector<FingerprintRule> rules)
{
    return {QStringLiteral("id-") + name, name, {QStringLiteral("site"), {}, {}, {}}, std::move(rules)};
}

FingerprintFile fileOf(std::vector<Fingerprint> fingerprints)
{
    return {std::move(fingerprints), 1, QDateTime::currentDateTimeUtc()};
}

FingerprintFile singleCondition(FingerprintCondition only)
{
    return fileOf({fingerprint(QStringLiteral("Office"), {rule(QStringLiteral("Main"), {std::move(only)})})});
}

NetworkContext standardContext()
{
    return {QStringLiteral("203.0.113.7"),
            {{AddressType::IPv6, QStringLiteral("eth0"), QStringLiteral("2001:db8::5")},
             {AddressType::IPv4, QStringLiteral("eth0"), QStringLiteral("192.168.1.20")},
             {AddressType::IPv4, QStringLiteral("wlan0"), QStringLiteral("10.1.2.3")}},
            std::nullopt,
            {}};
}

struct Outcome {
    std::optional<QString> matchedId;
    QString error;
};

} // namespace

class RulesEngineTest : public QObject {
    Q_OBJECT

    std::shared_ptr<CaptureLogSink> sink_;
    std::shared_ptr<FakeProbes> probes_;
    std::unique_ptr<QNetworkAccessManager> network_;
    std::unique_ptr<RulesEngine> engine_;

    void makeEngine(std::chrono::milliseconds webTimeout = RulesEngine::defaultWebContentTimeout)
    {
        engine_ = std::make_unique<RulesEngine>(
            Logger(QStringLiteral("app.nerova.NerovaAgent"), QStringLiteral("RulesEngine"), sink_), *network_, probes_,
            webTimeout);
    }

    Outcome run(FingerprintFile file, NetworkContext context = standardContext(),
                RulesEngineEvaluation* evaluation = nullptr)
    {
        Outcome outcome;
        try {
            const std::optional<Fingerprint> match =
                await(engine_->checkFingerprints(std::move(file), std::move(context), evaluation));
            if (match) {
                outcome.matchedId = match->fingerprintId;
            }
        } catch (const std::exception& error) {
            outcome.error = describeException(error);
        }
        return outcome;
    }

    // The log lines after the first "Checking condition", without the closing line.
    QStringList conditionLines() const
    {
        QStringList lines = sink_->messages();
        const qsizetype start = lines.indexOf(QStringLiteral("debug Checking condition"));
        lines = start >= 0 ? lines.mid(start + 1) : QStringList();
        lines.removeAll(QStringLiteral("debug Finished fingerprint check"));
        return lines;
    }

private slots:
    void init()
    {
        sink_ = std::make_shared<CaptureLogSink>();
        probes_ = std::make_shared<FakeProbes>();
        network_ = std::make_unique<QNetworkAccessManager>();
        makeEngine();
    }

    void officeExampleLogsEveryStep()
    {
        const NetworkContext context{
            std::nullopt, {{AddressType::IPv4, QStringLiteral("en0"), QStringLiteral("10.1.2.3")}}, std::nullopt, {}};
        QCOMPARE(run(singleCondition(inRange(QStringLiteral("10.1.0.0/16"))), context).matchedId,
                 QStringLiteral("id-Office"));
        QCOMPARE(sink_->formats(),
                 (QStringList{"debug Starting fingerprint check", "debug Checking fingeprint %s",
                              "debug Checking rule %s", "debug Checking condition", "debug Checking cidrv4 of %s",
                              "debug Checking %s", "debug Matched %s to %s", "debug Finished fingerprint check"}));
        QCOMPARE(sink_->messages(),
                 (QStringList{"debug Starting fingerprint check", "debug Checking fingeprint Office",
                              "debug Checking rule Main", "debug Checking condition",
                              "debug Checking cidrv4 of 10.1.0.0/16", "debug Checking 10.1.2.3",
                              "debug Matched 10.1.2.3 to 10.1.0.0/16", "debug Finished fingerprint check"}));
        for (const LogRecord& record : sink_->records()) {
            QCOMPARE(record.category, QStringLiteral("RulesEngine"));
        }
    }

    void nothingToMatch_data()
    {
        QTest::addColumn<std::vector<Fingerprint>>("fingerprints");
        QTest::newRow("empty file") << std::vector<Fingerprint>{};
        QTest::newRow("fingerprint without rules") << std::vector<Fingerprint>{fingerprint(QStringLiteral("A"), {})};
        QTest::newRow("rule without conditions")
            << std::vector<Fingerprint>{fingerprint(QStringLiteral("A"), {rule(QStringLiteral("R"), {})})};
    }

    void nothingToMatch()
    {
        QFETCH(std::vector<Fingerprint>, fingerprints);
        const Outcome outcome = run(fileOf(fingerprints));
        QCOMPARE(outcome.matchedId, std::nullopt);
        QVERIFY(outcome.error.isEmpty());
        QCOMPARE(sink_->messages().first(), QStringLiteral("debug Starting fingerprint check"));
        QCOMPARE(sink_->messages().last(), QStringLiteral("debug Finished fingerprint check"));
        QVERIFY(!sink_->formats().contains(QStringLiteral("debug Checking condition")));
    }

    // One fingerprint, one rule, one condition against the standard context (IPv6 2001:db8::5,
    // IPv4 192.168.1.20 and 10.1.2.3, external 203.0.113.7). The fake probes answer the ping to
    // "gw" in 5 ms, the TCP service "banner:22" with "SSH-2.0-test", "binary:22" and "truncated:22"
    // with bytes that are not UTF-8 and "empty:22" with nothing; everything else fails.
    void conditions_data()
    {
        QTest::addColumn<FingerprintCondition>("subject");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QStringList>("lines"); // after "Checking condition"

        const auto nested = [](std::vector<FingerprintCondition> conditions) {
            return std::vector<FingerprintRule>{rule(QStringLiteral("Nested"), std::move(conditions))};
        };
        const auto connectTo = [](const QString& hostport, const QString& pattern, bool inverted = false) {
            return condition(Type::connection, {{"hostport", hostport}, {"match", pattern}}, inverted);
        };

        QTest::newRow("internalIp: second IPv4 address matches")
            << inRange("10.1.0.0/16") << true
            << QStringList{"debug Checking cidrv4 of 10.1.0.0/16", "debug Checking 192.168.1.20",
                           "debug Checking 10.1.2.3", "debug Matched 10.1.2.3 to 10.1.0.0/16"};
        QTest::newRow("internalIp: no address in range")
            << inRange("172.16.0.0/12") << false
            << QStringList{"debug Checking cidrv4 of 172.16.0.0/12", "debug Checking 192.168.1.20",
                           "debug Checking 10.1.2.3", "debug No match found for 172.16.0.0/12"};
        QTest::newRow("internalIp: inverted, no address in range")
            << inRange("172.16.0.0/12", true) << true
            << QStringList{"debug Checking cidrv4 of 172.16.0.0/12", "debug Checking 192.168.1.20",
                           "debug Checking 10.1.2.3", "debug No match found for 172.16.0.0/12"};
        QTest::newRow("internalIp: missing argument") << condition(Type::internalIp, {{"cidr", "10.0.0.0/8"}}) << false
                                                      << QStringList{"error Missing argument for internalIP task"};
        QTest::newRow("internalIp: missing argument, inverted")
            << condition(Type::internalIp, {}, true) << true
            << QStringList{"error Missing argument for internalIP task"};
        QTest::newRow("internalIp: first of two arguments counts")
            << condition(Type::internalIp, {{"cidrRange", "192.168.1.0/24"}, {"cidrRange", "bad"}}) << true
            << QStringList{"debug Checking cidrv4 of 192.168.1.0/24", "debug Checking 192.168.1.20",
                           "debug Matched 192.168.1.20 to 192.168.1.0/24"};

        QTest::newRow("externalIp: in range") << condition(Type::externalIp, {{"cidrRange", "203.0.113.0/24"}}) << true
                                              << QStringList{"debug Checking cidrv4 of 203.0.113.0/24"};
        QTest::newRow("externalIp: out of range") << condition(Type::externalIp, {{"cidrRange", "198.51.100.0/24"}})
                                                  << false << QStringList{"debug Checking cidrv4 of 198.51.100.0/24"};
        QTest::newRow("externalIp: missing argument")
            << condition(Type::externalIp, {}) << false << QStringList{"error Missing argument for externalIP task"};

        QTest::newRow("or: no nested rules") << condition(Type::or_, {}) << false << QStringList{};
        QTest::newRow("or: no nested rules, inverted") << condition(Type::or_, {}, true) << true << QStringList{};
        QTest::newRow("or: one nested rule holds")
            << condition(Type::or_, {}, false,
                         {rule("A", {inRange("172.16.0.0/12")}), rule("B", {inRange("192.168.0.0/16")})})
            << true
            << QStringList{"debug Checking condition",
                           "debug Checking cidrv4 of 172.16.0.0/12",
                           "debug Checking 192.168.1.20",
                           "debug Checking 10.1.2.3",
                           "debug No match found for 172.16.0.0/12",
                           "debug Checking condition",
                           "debug Checking cidrv4 of 192.168.0.0/16",
                           "debug Checking 192.168.1.20",
                           "debug Matched 192.168.1.20 to 192.168.0.0/16"};
        QTest::newRow("or: no nested rule holds")
            << condition(Type::or_, {}, false, nested({inRange("172.16.0.0/12")})) << false
            << QStringList{"debug Checking condition", "debug Checking cidrv4 of 172.16.0.0/12",
                           "debug Checking 192.168.1.20", "debug Checking 10.1.2.3",
                           "debug No match found for 172.16.0.0/12"};
        QTest::newRow("or: inverted, a nested rule holds")
            << condition(Type::or_, {}, true, nested({condition(Type::or_, {}, true)})) << false
            << QStringList{"debug Checking condition"};

        QTest::newRow("nested: own and nested hold")
            << condition(Type::externalIp, {{"cidrRange", "203.0.113.0/24"}}, false, nested({pingTo("gw")})) << true
            << QStringList{"debug Checking cidrv4 of 203.0.113.0/24", "debug Checking condition",
                           "debug Ping completed in 0.005s"};
        QTest::newRow("nested: own holds, nested does not")
            << condition(Type::externalIp, {{"cidrRange", "203.0.113.0/24"}}, false, nested({pingTo("printer")}))
            << false
            << QStringList{"debug Checking cidrv4 of 203.0.113.0/24", "debug Checking condition",
                           "debug Ping failed with error: timedOut"};
        QTest::newRow("nested: evaluated although own is false")
            << condition(Type::externalIp, {{"cidrRange", "198.51.100.0/24"}}, false, nested({pingTo("gw")})) << false
            << QStringList{"debug Checking cidrv4 of 198.51.100.0/24", "debug Checking condition",
                           "debug Ping completed in 0.005s"};
        QTest::newRow("nested: own false, inverted")
            << condition(Type::externalIp, {{"cidrRange", "198.51.100.0/24"}}, true, nested({pingTo("gw")})) << true
            << QStringList{"debug Checking cidrv4 of 198.51.100.0/24", "debug Checking condition",
                           "debug Ping completed in 0.005s"};
        QTest::newRow("nested: both hold, inverted")
            << condition(Type::externalIp, {{"cidrRange", "203.0.113.0/24"}}, true, nested({pingTo("gw")})) << false
            << QStringList{"debug Checking cidrv4 of 203.0.113.0/24", "debug Checking condition",
                           "debug Ping completed in 0.005s"};

        QTest::newRow("ping: answered") << pingTo("gw") << true << QStringList{"debug Ping completed in 0.005s"};
        QTest::newRow("ping: not answered")
            << pingTo("printer") << false << QStringList{"debug Ping failed with error: timedOut"};
        QTest::newRow("ping: not answered, inverted")
            << pingTo("printer", true) << true << QStringList{"debug Ping failed with error: timedOut"};
        QTest::newRow("ping: missing argument")
            << condition(Type::ping, {{"host", "gw"}}) << false << QStringList{"error Missing argument for ping task"};

        QTest::newRow("connection: banner matches")
            << connectTo("banner:22", "^SSH-2\\.0") << true
            << QStringList{"debug Checking banner:22 for ^SSH-2\\.0", "debug Regex result is true"};
        QTest::newRow("connection: banner does not match")
            << connectTo("banner:22", "ssh") << false
            << QStringList{"debug Checking banner:22 for ssh", "debug Regex result is false"};
        QTest::newRow("connection: plus sign and leading zero in the port")
            << connectTo("banner:+0022", "SSH") << true
            << QStringList{"debug Checking banner:22 for SSH", "debug Regex result is true"};
        QTest::newRow("connection: empty segments dropped")
            << connectTo("::banner::22:", "SSH") << true
            << QStringList{"debug Checking banner:22 for SSH", "debug Regex result is true"};
        QTest::newRow("connection: bytes that are not UTF-8 read as empty text")
            << connectTo("binary:22", "^$") << true
            << QStringList{"debug Checking binary:22 for ^$", "debug Regex result is true"};
        QTest::newRow("connection: a sequence cut short is not UTF-8")
            << connectTo("truncated:22", "abc") << false
            << QStringList{"debug Checking truncated:22 for abc", "debug Regex result is false"};
        QTest::newRow("connection: nothing received")
            << connectTo("empty:22", "^$") << true
            << QStringList{"debug Checking empty:22 for ^$", "debug Regex result is true"};
        QTest::newRow("connection: stream ends with an error")
            << connectTo("closed:22", ".*") << false
            << QStringList{"debug Checking closed:22 for .*", "info Caught error in async connection timedOut"};
        QTest::newRow("connection: stream error, inverted")
            << connectTo("closed:22", ".*", true) << true
            << QStringList{"debug Checking closed:22 for .*", "info Caught error in async connection timedOut"};
        for (const char* bad : {"banner", "banner:", ":22", "banner:70000", "banner:65536", "banner:-1", "banner:2x",
                                "banner:+", "2001:db8::1:22", "[::1]:22", "a:b:22"}) {
            QTest::addRow("connection: invalid host format %s", bad)
                << connectTo(bad, ".*") << false << QStringList{QStringLiteral("error Invalid host format ") + bad};
        }
        QTest::newRow("connection: missing match") << condition(Type::connection, {{"hostport", "banner:22"}}) << false
                                                   << QStringList{"error Missing arguments for connection task"};
        QTest::newRow("connection: missing hostport") << condition(Type::connection, {{"match", "x"}}) << false
                                                      << QStringList{"error Missing arguments for connection task"};
    }

    void conditions()
    {
        QFETCH(FingerprintCondition, subject);
        QFETCH(bool, matches);
        QFETCH(QStringList, lines);

        probes_->answers.insert(QStringLiteral("gw"), {QByteArray("0.005"), 0ms});
        probes_->answers.insert(QStringLiteral("banner:22"), {QByteArray("SSH-2.0-test\r\n"), 0ms});
        probes_->answers.insert(QStringLiteral("binary:22"), {QByteArray("\xff\xfe\x00", 3), 0ms});
        probes_->answers.insert(QStringLiteral("empty:22"), {QByteArray(""), 0ms});
        probes_->answers.insert(QStringLiteral("truncated:22"), {QByteArray("abc\xe2\x82"), 0ms});

        const Outcome outcome = run(singleCondition(subject));
        QCOMPARE(outcome.error, QString());
        QCOMPARE(outcome.matchedId.has_value(), matches);
        QCOMPARE(conditionLines(), lines);
        for (const double timeout : probes_->pingTimeouts) {
            QCOMPARE(timeout, 2.0);
        }
    }

    void ipv6OnlyMachineNeverMatchesInternalIp()
    {
        const NetworkContext context{std::nullopt,
                                     {{AddressType::IPv6, QStringLiteral("eth0"), QStringLiteral("2001:db8::5")}},
                                     std::nullopt,
                                     {}};
        QCOMPARE(run(singleCondition(inRange(QStringLiteral("0.0.0.0/1"))), context).matchedId, std::nullopt);
        QCOMPARE(conditionLines(),
                 (QStringList{"debug Checking cidrv4 of 0.0.0.0/1", "debug No match found for 0.0.0.0/1"}));
    }

    void noExternalAddress_data()
    {
        QTest::addColumn<bool>("inverted");
        QTest::newRow("plain") << false;
        QTest::newRow("inverted") << true;
    }

    void noExternalAddress()
    {
        QFETCH(bool, inverted);
        NetworkContext context = standardContext();
        context.externalIPv4.reset();
        const auto subject = condition(Type::externalIp, {{"cidrRange", "203.0.113.0/24"}}, inverted);
        QCOMPARE(run(singleCondition(subject), context).matchedId.has_value(), inverted);
        QCOMPARE(conditionLines(),
                 (QStringList{"debug Checking cidrv4 of 203.0.113.0/24", "debug No external IP found"}));
    }

    // A rule with several conditions holds when all of them hold.
    void multiConditionRules_data()
    {
        QTest::addColumn<std::vector<FingerprintCondition>>("conditionsOfRule");
        QTest::addColumn<bool>("matches");
        QTest::newRow("all hold") << std::vector{inRange("10.1.0.0/16"), pingTo("gw")} << true;
        QTest::newRow("the last fails") << std::vector{inRange("10.1.0.0/16"), pingTo("printer")} << false;
        QTest::newRow("the first fails") << std::vector{pingTo("printer"), inRange("10.1.0.0/16")} << false;
        QTest::newRow("none holds") << std::vector{pingTo("printer"), inRange("172.16.0.0/12")} << false;
        QTest::newRow("inversion per condition")
            << std::vector{pingTo("printer", true), inRange("172.16.0.0/12", true)} << true;
        QTest::newRow("three, all hold") << std::vector{inRange("10.1.0.0/16"), pingTo("gw"),
                                                        condition(Type::or_, {}, true)}
                                         << true;
    }

    void multiConditionRules()
    {
        QFETCH(std::vector<FingerprintCondition>, conditionsOfRule);
        QFETCH(bool, matches);
        probes_->answers.insert(QStringLiteral("gw"), {QByteArray("0.001"), 20ms});
        probes_->answers.insert(QStringLiteral("printer"), {std::nullopt, 10ms});
        const FingerprintFile file =
            fileOf({fingerprint(QStringLiteral("A"), {rule(QStringLiteral("R"), conditionsOfRule)})});
        QCOMPARE(run(file).matchedId.has_value(), matches);
        // Every condition is evaluated: no short-circuit on the first false one.
        QCOMPARE(sink_->formats().count(QStringLiteral("debug Checking condition")),
                 qsizetype(conditionsOfRule.size()));
    }

    // Probes of different conditions, rules and fingerprints overlap instead of running one
    // after another.
    void probesRunConcurrently()
    {
        for (const char* host : {"a", "b", "c", "d"}) {
            probes_->answers.insert(QString::fromLatin1(host), {QByteArray("0.001"), 50ms});
        }
        const FingerprintFile file = fileOf({
            fingerprint(QStringLiteral("One"), {rule(QStringLiteral("R1"), {pingTo("a"), pingTo("b")}),
                                                rule(QStringLiteral("R2"), {pingTo("c")})}),
            fingerprint(QStringLiteral("Two"), {rule(QStringLiteral("R3"), {pingTo("d")})}),
        });
        QCOMPARE(run(file).matchedId, QStringLiteral("id-One"));
        QCOMPARE(probes_->events.mid(0, 4), (QStringList{"start a", "start b", "start c", "start d"}));
    }

    // When several fingerprints match, the one whose evaluation finished first wins.
    void firstFinishedMatchWins()
    {
        probes_->answers.insert(QStringLiteral("slow"), {QByteArray("0.001"), 100ms});
        const FingerprintFile file = fileOf({
            fingerprint(QStringLiteral("Slow"), {rule(QStringLiteral("R"), {pingTo("slow")})}),
            fingerprint(QStringLiteral("Fast"), {rule(QStringLiteral("R"), {inRange("10.0.0.0/8")})}),
        });
        QCOMPARE(run(file).matchedId, QStringLiteral("id-Fast"));
        QVERIFY(probes_->events.contains(QStringLiteral("end slow")));
    }

    void fileOrderDecidesAmongImmediateMatches()
    {
        const FingerprintFile file = fileOf({
            fingerprint(QStringLiteral("First"), {rule(QStringLiteral("R"), {inRange("10.0.0.0/8")})}),
            fingerprint(QStringLiteral("Second"), {rule(QStringLiteral("R"), {inRange("10.1.0.0/16")})}),
        });
        QCOMPARE(run(file).matchedId, QStringLiteral("id-First"));
    }

    // Malformed CIDR or address text and an invalid TCP pattern make the whole call raise, even
    // while another fingerprint matches, and only after every evaluation has finished.
    void errorsRaiseAfterEverythingFinished_data()
    {
        QTest::addColumn<FingerprintCondition>("faulty");
        QTest::addColumn<QString>("externalAddress"); // empty: none
        QTest::addColumn<QString>("error");

        QTest::newRow("mask 0") << inRange("10.0.0.0/0") << "203.0.113.7"
                                << "invalidCIDR(\"0\")";
        QTest::newRow("mask 33 in externalIp")
            << condition(Type::externalIp, {{"cidrRange", "10.0.0.0/33"}}) << "203.0.113.7"
            << "invalidCIDR(\"33\")";
        QTest::newRow("invalid range while no external address")
            << condition(Type::externalIp, {{"cidrRange", "10.0.0/8"}}) << ""
            << "invalidDottedQuad(\"10.0.0\")";
        QTest::newRow("IPv6 external address")
            << condition(Type::externalIp, {{"cidrRange", "10.0.0.0/8"}}) << "2001:db8::1"
            << "invalidDottedQuad(\"2001:db8::1\")";
        QTest::newRow("inversion does not apply to errors") << inRange("10.0.0.0/abc", true) << "203.0.113.7"
                                                            << "invalidCIDRMask(\"abc\")";
        QTest::newRow("invalid TCP pattern")
            << condition(Type::connection, {{"hostport", "banner:22"}, {"match", "(unclosed"}}) << "203.0.113.7"
            << "invalidPattern(\"(unclosed\")";
        QTest::newRow("error in a nested rule")
            << condition(Type::or_, {}, true, {rule("Inner", {inRange("10.0.0.0/40")})}) << "203.0.113.7"
            << "invalidCIDR(\"40\")";
        QTest::newRow("error in the own test skips the nested rules")
            << condition(Type::internalIp, {{"cidrRange", "x/8"}}, false, {rule("Inner", {pingTo("never")})})
            << "203.0.113.7"
            << "invalidDottedQuad(\"x\")";
    }

    void errorsRaiseAfterEverythingFinished()
    {
        QFETCH(FingerprintCondition, faulty);
        QFETCH(QString, externalAddress);
        QFETCH(QString, error);

        probes_->answers.insert(QStringLiteral("slow"), {QByteArray("0.001"), 50ms});
        NetworkContext context = standardContext();
        context.externalIPv4 = externalAddress.isEmpty() ? std::nullopt : std::optional(externalAddress);
        const FingerprintFile file = fileOf({
            fingerprint(QStringLiteral("Good"), {rule(QStringLiteral("R"), {inRange("10.0.0.0/8")})}),
            fingerprint(QStringLiteral("Faulty"), {rule(QStringLiteral("R"), {faulty, pingTo("slow")})}),
            fingerprint(QStringLiteral("Slow"), {rule(QStringLiteral("R"), {pingTo("slow")})}),
        });
        const Outcome outcome = run(file, context);
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.matchedId, std::nullopt);
        QCOMPARE(probes_->events.count(QStringLiteral("end slow")), 2);
        QVERIFY(!probes_->events.contains(QStringLiteral("start never")));
        QVERIFY(!sink_->formats().contains(QStringLiteral("debug Finished fingerprint check")));
    }

    void malformedInterfaceAddressRaises()
    {
        NetworkContext context = standardContext();
        context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("tun0"), QString()});
        QCOMPARE(run(singleCondition(inRange(QStringLiteral("172.16.0.0/12"))), context).error,
                 QStringLiteral("invalidDottedQuad(\"\")"));
    }

    void evaluationTreeRecordsEveryValue()
    {
        probes_->answers.insert(QStringLiteral("gw"), {QByteArray("0.25"), 0ms});
        const FingerprintFile file = fileOf({
            fingerprint(QStringLiteral("Office"),
                        {rule(QStringLiteral("Main"),
                              {condition(Type::externalIp, {{"cidrRange", "198.51.100.0/24"}}, true,
                                         {rule(QStringLiteral("Gateway"), {pingTo("gw"), pingTo("printer")})})})}),
            fingerprint(QStringLiteral("Empty"), {}),
        });
        RulesEngineEvaluation evaluation;
        QCOMPARE(run(file, standardContext(), &evaluation).matchedId, QStringLiteral("id-Office"));

        QCOMPARE(evaluation.fingerprints.size(), std::size_t(2));
        const FingerprintEvaluation& office = evaluation.fingerprints[0];
        QCOMPARE(office.matched, true);
        QCOMPARE(office.rules[0].value, true);
        const ConditionEvaluation& external = office.rules[0].conditions[0];
        QCOMPARE(external.own, false);
        QCOMPARE(external.nested, false);
        QCOMPARE(external.inverted, true);
        QCOMPARE(external.value, true);
        QCOMPARE(external.observed, QStringLiteral("external address 203.0.113.7"));
        const RuleEvaluation& gateway = external.rules[0];
        QCOMPARE(gateway.value, false);
        QCOMPARE(gateway.conditions[0].value, true);
        QCOMPARE(gateway.conditions[0].observed, QStringLiteral("answered in 0.25 s"));
        QCOMPARE(gateway.conditions[1].value, false);
        QCOMPARE(gateway.conditions[1].observed, QStringLiteral("no answer: timedOut"));
        QCOMPARE(evaluation.fingerprints[1].matched, false);

        const Json json = evaluation.toJson();
        const Json& externalJson = json[0]["rules"][0]["conditions"][0];
        QVERIFY(externalJson["nested"] == Json(false));
        QVERIFY(externalJson["error"].is_null());
        QVERIFY(externalJson["rules"][0]["conditions"][1]["arguments"][0]["value"] == "printer");
    }

    void evaluationTreeRecordsTheError()
    {
        RulesEngineEvaluation evaluation;
        run(singleCondition(inRange(QStringLiteral("10.0.0.0/33"))), standardContext(), &evaluation);
        const FingerprintEvaluation& office = evaluation.fingerprints[0];
        QCOMPARE(office.matched, std::nullopt);
        QCOMPARE(office.rules[0].value, std::nullopt);
        QCOMPARE(office.rules[0].conditions[0].error, QStringLiteral("invalidCIDR(\"33\")"));
        QCOMPARE(office.rules[0].conditions[0].value, std::nullopt);
    }

    // Against a real HTTP server on loopback.
    void webContent_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QString>("lastLine"); // URL stands for the requested URL

        QTest::newRow("200, pattern found") << "/ok"
                                            << "wel+come" << true << "debug Regex result is true";
        QTest::newRow("200, pattern found mid-body") << "/ok"
                                                     << "Desk 7" << true << "debug Regex result is true";
        QTest::newRow("200, pattern absent") << "/ok"
                                             << "^Desk" << false << "debug Regex result is false";
        QTest::newRow("patterns are case-sensitive") << "/ok"
                                                     << "WELCOME" << false << "debug Regex result is false";
        QTest::newRow("204, empty body matches an empty pattern") << "/204"
                                                                  << "^$" << true << "debug Regex result is true";
        QTest::newRow("298 counts as success") << "/298"
                                               << "fine" << true << "debug Regex result is true";
        QTest::newRow("299 counts as failure") << "/299"
                                               << "fine" << false << "debug HTTP response from URL was 299";
        QTest::newRow("404") << "/missing"
                             << "not found" << false << "debug HTTP response from URL was 404";
        QTest::newRow("400") << "/400"
                             << ".*" << false << "debug HTTP response from URL was 400";
        QTest::newRow("503") << "/503"
                             << ".*" << false << "debug HTTP response from URL was 503";
        QTest::newRow("body not UTF-8") << "/latin1"
                                        << "caf" << false
                                        << "info HTTPResponse(url: \"URL\", statusCode: 200, bodyBytes: 5)";
        QTest::newRow("404 with a body not UTF-8")
            << "/latin1-404"
            << "caf" << false << "info HTTPResponse(url: \"URL\", statusCode: 404, bodyBytes: 5)";
        QTest::newRow("redirect followed") << "/redirect"
                                           << "welcome" << true << "debug Regex result is true";
        QTest::newRow("redirect loop")
            << "/loop"
            << ".*" << false << "debug Caught error checking url TooManyRedirectsError(\"Too many redirects\")";
        QTest::newRow("invalid pattern") << "/ok"
                                         << "(" << false << "debug Caught error checking url invalidPattern(\"(\")";
        QTest::newRow("data trickling in past the timeout")
            << "/drip"
            << ".*" << false << "debug Caught error checking url TimeoutError(\"no complete answer within 300 ms\")";
        QTest::newRow("body too large")
            << "/huge"
            << ".*" << false
            << "debug Caught error checking url UnknownContentError(\"answer larger than 16777216 bytes\")";
        QTest::newRow("no answer within the timeout")
            << "/silent"
            << ".*" << false << "debug Caught error checking url TimeoutError(\"no complete answer within 300 ms\")";
    }

    void webContent()
    {
        QFETCH(QString, path);
        QFETCH(QString, pattern);
        QFETCH(bool, matches);
        QFETCH(QString, lastLine);

        test::ScriptedHttpServer server;
        server.route("/ok", {200, {}, "Hello, welcome to Desk 7"});
        server.route("/204", {204, {}, ""});
        server.route("/298", {298, {}, "fine"});
        server.route("/299", {299, {}, "fine"});
        server.route("/400", {400, {}, "bad"});
        server.route("/503", {503, {}, "busy"});
        server.route("/latin1", {200, {}, "caf\xe9!"});
        server.route("/latin1-404", {404, {}, "caf\xe9!"});
        server.route("/redirect", {302, {{"Location", server.url("/ok").toEncoded()}}, ""});
        server.route("/loop", {302, {{"Location", server.url("/loop").toEncoded()}}, ""});
        server.route("/silent", {200, {}, "late", 60s});
        server.route("/drip", {200, {}, "still here ", 0ms, 20ms});
        server.route("/huge", {200, {}, QByteArray(RulesEngine::maxWebContentBytes + 1, 'x')});
        makeEngine(300ms);

        const QString url = server.url(path).toString();
        const auto subject = condition(Type::webContent, {{"url", url}, {"match", pattern}});
        QCOMPARE(run(singleCondition(subject)).matchedId.has_value(), matches);
        QCOMPARE(conditionLines().first(), QStringLiteral("debug Checking %1 for %2").arg(url, pattern));
        QCOMPARE(conditionLines().last(), QString(lastLine).replace(QLatin1String("URL"), url));
        const test::RecordedRequest& request = server.requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, path.toUtf8());
        QVERIFY(request.body.isEmpty() && !request.hasHeader("content-length"));
        QCOMPARE(request.header("cache-control"), QByteArray("no-cache")); // no cached answer anywhere
    }

    void webContentWithoutUsableArguments_data()
    {
        QTest::addColumn<Arguments>("arguments");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("no url") << Arguments{{"match", "x"}} << "error Missing arguments for webContent task";
        QTest::newRow("no match") << Arguments{{"url", "http://127.0.0.1:9/"}}
                                  << "error Missing arguments for webContent task";
        QTest::newRow("url not a URL") << Arguments{{"url", "http://exa mple.com/"}, {"match", "x"}}
                                       << "error Missing arguments for webContent task";
        QTest::newRow("empty url") << Arguments{{"url", ""}, {"match", "x"}}
                                   << "error Missing arguments for webContent task";
        QTest::newRow("local file") << Arguments{{"url", "file:///etc/hostname"}, {"match", ".*"}}
                                    << "debug Caught error checking url unsupportedURL(\"file:///etc/hostname\")";
        QTest::newRow("relative url") << Arguments{{"url", "index.html"}, {"match", ".*"}}
                                      << "debug Caught error checking url unsupportedURL(\"index.html\")";
        QTest::newRow("connection refused")
            << Arguments{{"url", "http://127.0.0.1:1/"}, {"match", ".*"}}
            << "debug Caught error checking url ConnectionRefusedError(\"Connection refused\")";
    }

    void webContentWithoutUsableArguments()
    {
        QFETCH(Arguments, arguments);
        QFETCH(QString, lastLine);
        QCOMPARE(run(singleCondition(condition(Type::webContent, arguments))).matchedId, std::nullopt);
        QCOMPARE(conditionLines().last(), lastLine);
    }
};

QTEST_GUILESS_MAIN(RulesEngineTest)
#include "RulesEngineTest.moc"
