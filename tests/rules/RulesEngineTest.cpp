#include "rules/RulesEngine.h"
#include "common/Await.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTimer>
#include <QNetworkAccessManager>
#include <QTest>

#include <chrono>
#include <functional>

using namespace nerova;
using namespace std::chrono_literals;
using Type = FingerprintConditionType;
using Arguments = std::vector<FingerprintConditionArgument>;

Q_DECLARE_METATYPE(FingerprintCondition)
Q_DECLARE_METATYPE(std::vector<FingerprintCondition>)
Q_DECLARE_METATYPE(std::vector<Fingerprint>)

namespace {

using Conditions = std::vector<FingerprintCondition>;
using Rules = std::vector<FingerprintRule>;

class FakeProbeError final : public Error {
public:
    QString description() const override { return QStringLiteral("timedOut"); }
};

// Stands in for the ICMP and TCP probes: answers by host (pings: the round-trip time as text) or by
// host:port (connections), after an optional delay on the event loop; unknown keys raise.
class FakeProbes final : public RulesEngineProbes {
public:
    struct Answer {
        std::optional<QByteArray> bytes; // absent: raises
        std::chrono::milliseconds delay{0};
    };
    QHash<QString, Answer> answers;
    QStringList events; // "start X" and "end X", in order

    QCoro::Task<double> ping(QString host, double) override { co_return (co_await answer(host)).toDouble(); }
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
            throw FakeProbeError();
        }
        co_return *answer.bytes;
    }
};

FingerprintCondition condition(Type type, Arguments arguments, bool inverted = false, Rules rules = {})
{
    return {type, std::move(arguments), std::move(rules), inverted};
}
FingerprintCondition inRange(const QString& range, bool inverted = false)
{
    return condition(Type::internalIp, {{"cidrRange", range}}, inverted);
}
FingerprintCondition externalIn(const QString& range, bool inverted = false, Rules rules = {})
{
    return condition(Type::externalIp, {{"cidrRange", range}}, inverted, std::move(rules));
}
FingerprintCondition pingTo(const QString& host, bool inverted = false, Rules rules = {})
{
    return condition(Type::ping, {{"address", host}}, inverted, std::move(rules));
}
FingerprintCondition connectTo(const QString& hostport, const QString& pattern)
{
    return condition(Type::connection, {{"hostport", hostport}, {"match", pattern}});
}
FingerprintCondition orOf(bool inverted, Rules rules = {}) { return condition(Type::or_, {}, inverted, rules); }
FingerprintRule rule(const QString& name, Conditions conditions) { return {name, std::move(conditions)}; }
Fingerprint fingerprint(const QString& name, Rules rules)
{
    return {QStringLiteral("id-") + name, name, {QStringLiteral("site"), {}, {}, {}}, std::move(rules)};
}
// A fingerprint with one rule "Main".
Fingerprint oneRule(const QString& name, Conditions conditions)
{
    return fingerprint(name, {rule("Main", conditions)});
}
FingerprintFile fileOf(std::vector<Fingerprint> fingerprints) { return {std::move(fingerprints), 1, {}}; }
FingerprintFile singleCondition(FingerprintCondition only) { return fileOf({oneRule("Office", {std::move(only)})}); }

// IPv6 2001:db8::5 (never parsed: it would raise), IPv4 192.168.1.20 and 10.1.2.3, external 203.0.113.7.
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

    std::unique_ptr<test::LogCapture> log_;
    RulesEngineEvaluation evaluation_; // of the last run()
    std::shared_ptr<FakeProbes> probes_;
    std::unique_ptr<QNetworkAccessManager> network_;
    std::unique_ptr<RulesEngine> engine_;

    // Patterns get a tenth of a second per check.
    void makeEngine(std::chrono::milliseconds webTimeout = RulesEngine::defaultWebContentTimeout)
    {
        engine_ = std::make_unique<RulesEngine>(*network_, probes_, webTimeout, 100ms);
    }

    Outcome run(FingerprintFile file, NetworkContext context = standardContext())
    {
        Outcome outcome;
        try {
            const std::optional<Fingerprint> match =
                await(engine_->checkFingerprints(std::move(file), std::move(context), &evaluation_));
            if (match) {
                outcome.matchedId = match->fingerprintId;
            }
        } catch (const std::exception& error) {
            outcome.error = describeException(error);
        }
        return outcome;
    }

    // What the conditions of the last run observed, depth first: only evaluated conditions observe.
    QStringList observed() const
    {
        QStringList seen;
        const std::function<void(const std::vector<RuleEvaluation>&)> collect = [&](const auto& rules) {
            for (const RuleEvaluation& rule : rules) {
                for (const ConditionEvaluation& condition : rule.conditions) {
                    seen.append(condition.observed);
                    collect(condition.rules);
                }
            }
        };
        for (const FingerprintEvaluation& fingerprint : evaluation_.fingerprints) {
            collect(fingerprint.rules);
        }
        return seen;
    }

private slots:
    void init()
    {
        log_ = std::make_unique<test::LogCapture>();
        probes_ = std::make_shared<FakeProbes>();
        network_ = std::make_unique<QNetworkAccessManager>();
        makeEngine();
    }

    void nothingToMatch_data()
    {
        QTest::addColumn<std::vector<Fingerprint>>("fingerprints");
        QTest::newRow("empty file") << std::vector<Fingerprint>{};
        QTest::newRow("fingerprint without rules") << std::vector{fingerprint("A", {})};
        QTest::newRow("rule without conditions") << std::vector{oneRule("A", {})};
    }

    void nothingToMatch()
    {
        QFETCH(std::vector<Fingerprint>, fingerprints);
        const Outcome outcome = run(fileOf(fingerprints));
        QVERIFY(!outcome.matchedId && outcome.error.isEmpty());
        QCOMPARE(observed(), QStringList());
    }

    // The conditions of one rule against the standard context. The fake probes answer the ping to
    // "gw" in 5 ms and the TCP services "banner:22" with "SSH-2.0-test", "truncated:22" with a
    // UTF-8 sequence cut short and "as:22" with 40 a's; everything else fails.
    void conditions_data()
    {
        QTest::addColumn<Conditions>("subject");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QStringList>("observed"); // by every evaluated condition, depth first
        QTest::addColumn<QString>("errorLine");    // the one error line, if any

        const auto one = [](FingerprintCondition only) { return Conditions{std::move(only)}; };
        const auto nested = [](FingerprintCondition only) { return Rules{rule("Nested", {std::move(only)})}; };
        const auto web = [](Arguments arguments) { return Conditions{condition(Type::webContent, arguments)}; };
        const QString pinged = QStringLiteral("answered in 0.005 s");
        const QString notPinged = QStringLiteral("no answer: timedOut");
        const QString noRules = QStringLiteral("no nested rules");
        const QString throughRules = QStringLiteral("holds through its nested rules");
        const QStringList missingRange{"missing argument cidrRange"};
        const QStringList missingWebArgument{"missing or invalid argument url or match"};
        const QStringList missingConnectionArgument{"missing argument hostport or match"};
        const QString missingWeb = QStringLiteral("Missing arguments for webContent task");
        const QString missingConnection = QStringLiteral("Missing arguments for connection task");
        const FingerprintCondition yes = orOf(true);
        const FingerprintCondition no = orOf(false);

        // clang-format off
        QTest::newRow("internalIp: second IPv4 address matches") << one(inRange("10.1.0.0/16")) << true
            << QStringList{"10.1.2.3 (wlan0) is in the range"} << "";
        QTest::newRow("internalIp: none in range, inverted") << one(inRange("172.16.0.0/12", true)) << true
            << QStringList{"no IPv4 address in the range (checked 192.168.1.20, 10.1.2.3)"} << "";
        QTest::newRow("internalIp: first of two arguments counts")
            << one(condition(Type::internalIp, {{"cidrRange", "192.168.1.0/24"}, {"cidrRange", "bad"}})) << true
            << QStringList{"192.168.1.20 (eth0) is in the range"} << "";
        QTest::newRow("internalIp: missing argument") << one(condition(Type::internalIp, {{"cidr", "10.0.0.0/8"}}))
            << false << missingRange << "Missing argument for internalIP task";
        QTest::newRow("internalIp: missing argument, inverted") << one(condition(Type::internalIp, {}, true)) << true
            << missingRange << "Missing argument for internalIP task";
        QTest::newRow("externalIp: in range") << one(externalIn("203.0.113.0/24")) << true
            << QStringList{"external address 203.0.113.7"} << "";
        QTest::newRow("externalIp: out of range, inverted") << one(externalIn("198.51.100.0/24", true)) << true
            << QStringList{"external address 203.0.113.7"} << "";
        QTest::newRow("externalIp: missing argument") << one(condition(Type::externalIp, {})) << false
            << missingRange << "Missing argument for externalIP task";
        QTest::newRow("ping: missing argument") << one(condition(Type::ping, {{"host", "gw"}})) << false
            << QStringList{"missing argument address"} << "Missing argument for ping task";

        QTest::newRow("nested: own and nested hold") << one(pingTo("gw", false, nested(yes))) << true
                                                     << QStringList{pinged, noRules} << "";
        QTest::newRow("nested: own holds, nested does not") << one(pingTo("gw", false, nested(no))) << false
                                                            << QStringList{pinged, noRules} << "";
        QTest::newRow("nested: evaluated although own is false") << one(pingTo("printer", false, nested(yes))) << false
                                                                 << QStringList{notPinged, noRules} << "";
        QTest::newRow("nested: inversion covers own and nested") << one(pingTo("printer", true, nested(no))) << true
                                                                 << QStringList{notPinged, noRules} << "";
        QTest::newRow("or: no nested rules") << one(no) << false << QStringList{noRules} << "";
        QTest::newRow("or: no nested rules, inverted") << one(yes) << true << QStringList{noRules} << "";
        QTest::newRow("or: one of two nested rules holds") << one(orOf(false, {rule("A", {no}), rule("B", {yes})}))
                                                           << true << QStringList{throughRules, noRules, noRules} << "";
        QTest::newRow("or: no nested rule holds") << one(orOf(false, nested(no))) << false
                                                  << QStringList{throughRules, noRules} << "";
        QTest::newRow("rule: all conditions hold") << Conditions{yes, yes} << true << QStringList{noRules, noRules} << "";
        QTest::newRow("rule: the last condition fails") << Conditions{yes, no} << false << QStringList{noRules, noRules} << "";
        QTest::newRow("rule: the first fails, the rest runs") << Conditions{no, yes} << false << QStringList{noRules, noRules} << "";

        QTest::newRow("connection: plus sign and leading zero in the port") << one(connectTo("banner:+0022", "SSH"))
            << true << QStringList{"14 bytes received"} << "";
        QTest::newRow("connection: empty segments dropped") << one(connectTo("::banner::22:", "^SSH-2\\.0")) << true
            << QStringList{"14 bytes received"} << "";
        QTest::newRow("connection: a sequence cut short is not UTF-8") << one(connectTo("truncated:22", "abc")) << false
            << QStringList{"5 bytes received"} << "";
        QTest::newRow("connection: a pattern past its budget is false") << one(connectTo("as:22", "(a+)+c$")) << false
            << QStringList{"40 bytes received, patternTimedOut(\"(a+)+c$\")"} << "";
        for (const char* bad : {"banner", "banner:65536", "banner:2x", "banner:+", "2001:db8::1:22"}) {
            QTest::addRow("connection: invalid host format %s", bad) << one(connectTo(bad, ".*")) << false
                << QStringList{"not host:port"} << QStringLiteral("Invalid host format ") + bad;
        }
        QTest::newRow("connection: missing match") << one(condition(Type::connection, {{"hostport", "banner:22"}}))
                                                   << false << missingConnectionArgument << missingConnection;
        QTest::newRow("connection: missing hostport") << one(condition(Type::connection, {{"match", "x"}})) << false
                                                      << missingConnectionArgument << missingConnection;

        QTest::newRow("webContent: no url") << web({{"match", "x"}}) << false << missingWebArgument << missingWeb;
        QTest::newRow("webContent: no match") << web({{"url", "http://x/"}}) << false << missingWebArgument << missingWeb;
        QTest::newRow("webContent: url not a URL") << web({{"url", "http://exa mple.com/"}, {"match", "x"}}) << false
                                                   << missingWebArgument << missingWeb;
        QTest::newRow("webContent: a local file is not fetched") << web({{"url", "file:///etc/x"}, {"match", ".*"}})
            << false << QStringList{"unsupportedURL(\"file:///etc/x\")"} << "";
        // clang-format on
    }

    void conditions()
    {
        QFETCH(Conditions, subject);
        QFETCH(bool, matches);
        QFETCH(QStringList, observed);
        QFETCH(QString, errorLine);

        probes_->answers.insert(QStringLiteral("gw"), {QByteArray("0.005"), 0ms});
        probes_->answers.insert(QStringLiteral("banner:22"), {QByteArray("SSH-2.0-test\r\n"), 0ms});
        probes_->answers.insert(QStringLiteral("truncated:22"), {QByteArray("abc\xe2\x82"), 0ms});
        probes_->answers.insert(QStringLiteral("as:22"), {QByteArray(40, 'a'), 0ms});
        const Outcome outcome = run(fileOf({oneRule("Office", subject)}));
        QCOMPARE(outcome.error, QString());
        QCOMPARE(outcome.matchedId.has_value(), matches);
        QCOMPARE(this->observed(), observed);
        QCOMPARE(log_->errors(), errorLine.isEmpty() ? QStringList() : QStringList{errorLine});
    }

    void externalIpWithoutExternalAddress()
    {
        NetworkContext context = standardContext();
        context.externalIPv4.reset();
        QVERIFY(run(singleCondition(externalIn("203.0.113.0/24", true)), context).matchedId); // false, inverted
        QCOMPARE(observed(), QStringList{"no external address"});
    }

    // Probes of different conditions, rules and fingerprints overlap instead of running one after
    // another, and of several matching fingerprints the one whose evaluation finished first wins.
    void probesOverlapAndTheFirstFinishedMatchWins()
    {
        for (const char* host : {"a", "b", "c", "d"}) {
            probes_->answers.insert(QString::fromLatin1(host), {QByteArray("0.001"), 50ms});
        }
        const FingerprintFile file = fileOf({
            fingerprint("Slow", {rule("R1", {pingTo("a"), pingTo("b")}), rule("R2", {pingTo("c")})}),
            oneRule("Slower", {pingTo("d")}),
            oneRule("Fast", {inRange("10.0.0.0/8")}),
        });
        QCOMPARE(run(file).matchedId, QStringLiteral("id-Fast"));
        QCOMPARE(probes_->events.mid(0, 4), (QStringList{"start a", "start b", "start c", "start d"}));
        QCOMPARE(probes_->events.size(), 8);
    }

    // Malformed CIDR or address text and an invalid TCP pattern make the whole call raise, even
    // while another fingerprint matches, and only after every evaluation has finished.
    void errorsRaiseAfterEverythingFinished_data()
    {
        QTest::addColumn<FingerprintCondition>("faulty");
        QTest::addColumn<QString>("externalAddress"); // empty: none
        QTest::addColumn<QString>("error");

        // clang-format off
        QTest::newRow("mask 0") << inRange("10.0.0.0/0") << "203.0.113.7" << "invalidCIDR(\"0\")";
        QTest::newRow("invalid range while no external address") << externalIn("10.0.0/8") << ""
                                                                 << "invalidDottedQuad(\"10.0.0\")";
        QTest::newRow("IPv6 external address") << externalIn("10.0.0.0/8") << "2001:db8::1"
                                               << "invalidDottedQuad(\"2001:db8::1\")";
        QTest::newRow("malformed interface address") << inRange("172.16.0.0/12") << "203.0.113.7"
                                                     << "invalidDottedQuad(\"\")";
        QTest::newRow("inversion does not apply to errors") << inRange("10.0.0.0/abc", true) << "203.0.113.7"
                                                            << "invalidCIDRMask(\"abc\")";
        QTest::newRow("invalid TCP pattern") << connectTo("banner:22", "(unclosed") << "203.0.113.7"
                                             << "invalidPattern(\"(unclosed\")";
        QTest::newRow("error in a nested rule") << orOf(true, {rule("Inner", {inRange("10.0.0.0/40")})})
                                                << "203.0.113.7" << "invalidCIDR(\"40\")";
        // clang-format on
    }

    void errorsRaiseAfterEverythingFinished()
    {
        QFETCH(FingerprintCondition, faulty);
        QFETCH(QString, externalAddress);
        QFETCH(QString, error);

        probes_->answers.insert(QStringLiteral("slow"), {QByteArray("0.001"), 50ms});
        NetworkContext context = standardContext();
        context.externalIPv4 = externalAddress.isEmpty() ? std::nullopt : std::optional(externalAddress);
        // A malformed address, reached only by a range that none of the addresses before it falls into.
        context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("tun0"), QString()});
        const Outcome outcome =
            run(fileOf({oneRule("Good", {inRange("10.0.0.0/8")}), oneRule("Faulty", {faulty, pingTo("slow")}),
                        oneRule("Slow", {pingTo("slow")})}),
                context);
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.matchedId, std::nullopt);
        QCOMPARE(probes_->events.count(QStringLiteral("end slow")), 2);
    }

    // Against a real HTTP server on loopback.
    void webContent_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QString>("observed"); // its start

        const QString ok = QStringLiteral("HTTP 200, 24 bytes received");
        const QString late = QStringLiteral("request failed: TimeoutError(\"no complete answer within 300 ms\")");
        // clang-format off
        QTest::newRow("200, pattern found") << "/ok" << "wel+come" << true << ok;
        QTest::newRow("200, case-sensitive") << "/ok" << "WELCOME" << false << ok;
        QTest::newRow("204, empty body matches an empty pattern") << "/204" << "^$" << true << "HTTP 204, 0 bytes received";
        QTest::newRow("298 counts as success") << "/298" << "fine" << true << "HTTP 298, 4 bytes received";
        QTest::newRow("299 counts as failure") << "/299" << "fine" << false << "HTTP 299, 4 bytes received";
        QTest::newRow("404") << "/missing" << ".*" << false << "HTTP 404, ";
        QTest::newRow("400 is an answer") << "/400" << ".*" << false << "HTTP 400, 3 bytes received";
        QTest::newRow("body not UTF-8") << "/latin1" << "caf" << false << "HTTP 200, 5 bytes received, not UTF-8";
        QTest::newRow("redirect followed") << "/redirect" << "welcome" << true << ok;
        QTest::newRow("invalid pattern") << "/ok" << "(" << false << ok + ", invalidPattern(\"(\")";
        QTest::newRow("pattern past its budget") << "/backtracking" << "(a+)+c$" << false
                                                 << "HTTP 200, 5000 bytes received, patternTimedOut(\"(a+)+c$\")";
        QTest::newRow("no answer within the timeout") << "/silent" << ".*" << false << late;
        QTest::newRow("data trickling in past the timeout") << "/drip" << ".*" << false << late;
        QTest::newRow("body too large") << "/huge" << ".*" << false
                                        << "request failed: UnknownContentError(\"answer larger than 16777216 bytes\")";
        // clang-format on
    }

    void webContent()
    {
        QFETCH(QString, path);
        QFETCH(QString, pattern);
        QFETCH(bool, matches);
        QFETCH(QString, observed);

        test::ScriptedHttpServer server;
        server.route("/ok", {200, {}, "Hello, welcome to Desk 7"});
        server.route("/204", {204, {}, ""});
        server.route("/298", {298, {}, "fine"});
        server.route("/299", {299, {}, "fine"});
        server.route("/400", {400, {}, "bad"});
        server.route("/latin1", {200, {}, "caf\xe9!"});
        server.route("/backtracking", {200, {}, QByteArray(QByteArray(48, 'a') + "c\n").repeated(100)});
        server.route("/redirect", {302, {{"Location", server.url("/ok").toEncoded()}}, ""});
        server.route("/silent", {200, {}, "late", 60s});
        server.route("/drip", {200, {}, "still here ", 0ms, 20ms});
        server.route("/huge", {200, {}, QByteArray(RulesEngine::maxWebContentBytes + 1, 'x')});
        // 16 MiB over loopback can take longer than 300 ms on a loaded machine: the size must fail it first.
        makeEngine(path == QLatin1String("/huge") ? 10s : 300ms);

        const QString url = server.url(path).toString();
        const Outcome outcome = run(singleCondition(condition(Type::webContent, {{"url", url}, {"match", pattern}})));
        QCOMPARE(outcome.matchedId.has_value(), matches);
        QVERIFY2(this->observed().value(0).startsWith(observed), qPrintable(this->observed().value(0)));
        // A plain GET that no cache answers.
        const test::RecordedRequest& request = server.requests().first();
        QVERIFY(request.method == "GET" && request.target == path.toUtf8() && request.body.isEmpty());
        QVERIFY(!request.hasHeader("content-length") && request.header("cache-control") == "no-cache");
    }
};

QTEST_GUILESS_MAIN(RulesEngineTest)
#include "RulesEngineTest.moc"
