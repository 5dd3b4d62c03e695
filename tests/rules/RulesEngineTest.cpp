// The fingerprint file's JSON forms, the CIDR ranges that address conditions read, and the rules
// engine over stand-in probes.
#include "rules/RulesEngine.h"
#include "common/Await.h"
#include "common/Channel.h"
#include "common/Json.h"
#include "network/URLLoadingError.h"
#include "rules/CIDRv4.h"
#include "rules/EvaluationReport.h"
#include "rules/FingerprintFileJson.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace nerova;
using namespace std::chrono_literals;
using Type = FingerprintConditionType;
using Arguments = std::vector<FingerprintConditionArgument>;
using Conditions = std::vector<FingerprintCondition>;
using Rules = std::vector<FingerprintRule>;

namespace {

// A small valid file in the served form; the decoding table mutates it. (The deep "fingerprints"
// comes last: parsing a deeply nested value followed by another key overflows the stack.)
const QByteArray pingCondition =
    R"({"type":"ping","arguments":[{"name":"address","value":"gw"}],"rules":[],"inverted":false})";
const QByteArray baseDocument =
    R"({"fingerprintVersion":7,"createdAt":"2026-11-30T09:15:00.123Z","fingerprints":[{"fingerprintId":"fp-1",)"
    R"("name":"Office","locationPoint":{"locationId":"loc","levelId":"lvl"},"rules":[{"name":"Main","conditions":[)" +
    pingCondition + "]}]}]}";

QByteArray mutated(const QString& pointer, const QString& replacement)
{
    Json document = parseJson(baseDocument);
    const Json::json_pointer target(toStdString(pointer));
    if (replacement == u"<remove>") {
        document.at(target.parent_pointer()).erase(target.back());
    } else {
        document[target] = parseJson(replacement.toUtf8());
    }
    return QByteArray::fromStdString(document.dump());
}

// The base file with its condition wrapped in `depth` levels of nested rules.
QByteArray nestedRules(int depth)
{
    const QByteArray open = R"({"type":"or","arguments":[],"rules":[{"name":"n","conditions":[)";
    const QByteArray close = R"(]}],"inverted":false})";
    return QByteArray(baseDocument)
        .replace(pingCondition, open.repeated(depth) + pingCondition + close.repeated(depth));
}

// Stands in for the network: pings, connections and pages answer by host, host:port or URL (a ping's
// answer is its round-trip time as text), after an optional delay, or never (silent) until cancelled.
// Anything else times out.
class FakeProbes final : public RulesEngineProbes {
public:
    struct Answer {
        QByteArray bytes;
        std::chrono::milliseconds delay{0};
        std::optional<int> status = 200; // of a page
        bool silent = false;
    };
    QHash<QString, Answer> answers;
    QStringList events; // "start X", "end X" and "cancel X", in order

    QCoro::Task<double> ping(QString host, double, CancellationToken cancellation) override
    {
        co_return (co_await answer(host, cancellation)).bytes.toDouble();
    }
    QCoro::Task<QByteArray> receive(QString host, quint16 port, CancellationToken cancellation) override
    {
        co_return (co_await answer(host + u':' + QString::number(port), cancellation)).bytes;
    }
    QCoro::Task<HttpResponse> fetch(QUrl url, CancellationToken cancellation) override
    {
        const Answer answered = co_await answer(url.toString(), cancellation);
        co_return HttpResponse{url, answered.status, {}, answered.bytes, {}};
    }

private:
    QCoro::Task<Answer> answer(QString key, CancellationToken cancellation)
    {
        if (cancellation.isCancelled()) { // as the real probes: nothing starts
            events.append(QStringLiteral("cancel ") + key);
            throw OperationCancelled();
        }
        events.append(QStringLiteral("start ") + key);
        const std::optional<Answer> found = answers.contains(key) ? std::optional(answers.value(key)) : std::nullopt;
        if (found && (found->delay > 0ms || found->silent)) {
            const auto wake = std::make_shared<Channel<bool>>();
            QTimer timer;
            QObject::connect(&timer, &QTimer::timeout, [wake] { wake->finish(); });
            if (!found->silent) {
                timer.start(found->delay);
            }
            const CancellationToken::Registration registration =
                cancellation.onCancel([wake] { wake->fail(std::make_exception_ptr(OperationCancelled())); });
            try {
                co_await wake->receive();
            } catch (const OperationCancelled&) {
                events.append(QStringLiteral("cancel ") + key);
                throw;
            }
        }
        events.append(QStringLiteral("end ") + key);
        if (!found) {
            throw URLLoadingError(QNetworkReply::TimeoutError, QStringLiteral("late"));
        }
        co_return *found;
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
FingerprintCondition externalIn(const QString& range, bool inverted = false)
{
    return condition(Type::externalIp, {{"cidrRange", range}}, inverted);
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
Fingerprint oneRule(const QString& name, Conditions conditions)
{
    return {QStringLiteral("id-") + name, name, {QStringLiteral("site"), {}, {}, {}}, {rule("Main", conditions)}};
}

// IPv6 2001:db8::5 (never parsed: it would raise), IPv4 192.168.1.20 and 10.1.2.3, external 203.0.113.7;
// with `evidence`, gateways on eth0 (IPv4 and IPv6 link-local) and a tunnel, one Wi-Fi network,
// three DNS domains (one as a saved snapshot may hold it) and a display and a dock.
NetworkContext standardContext(bool evidence = true)
{
    NetworkContext context{QStringLiteral("203.0.113.7"),
                           {{AddressType::IPv6, QStringLiteral("eth0"), QStringLiteral("2001:db8::5")},
                            {AddressType::IPv4, QStringLiteral("eth0"), QStringLiteral("192.168.1.20")},
                            {AddressType::IPv4, QStringLiteral("wlan0"), QStringLiteral("10.1.2.3")}},
                           std::nullopt,
                           {}};
    if (evidence) {
        context.evidence = {{{"eth0", "10.1.2.1", "02:00:5e:10:00:09", false},
                             {"eth0", "fe80::1", "02:00:5e:10:00:0a", false},
                             {"wg0", std::nullopt, std::nullopt, true}},
                            {{"wlan0", "Office", "02:00:5e:10:00:0b"}},
                            {"corp.example", "branch.example", "Lab.Example."},
                            {{PeripheralKind::display, "display:DEL-a0b1-01020304", "DELL U2720Q", true},
                             {PeripheralKind::usb, "usb:17ef:3082:1S40AY", "Lenovo USB-C Dock", true}}};
    }
    return context;
}

} // namespace

class RulesEngineTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::LogCapture> log_; // made in init(): Qt Test installs its own handler first
    std::shared_ptr<FakeProbes> probes_;
    RulesEngineEvaluation evaluation_; // of the last run()
    QString error_;                    // of the last run()

    // The id of the matching fingerprint, or nothing; patterns get a tenth of a second per check.
    std::optional<QString> run(std::vector<Fingerprint> fingerprints, NetworkContext context = standardContext())
    {
        error_.clear();
        try {
            const std::optional<Fingerprint> match =
                await(RulesEngine(probes_, 100ms)
                          .checkFingerprints({std::move(fingerprints), 1, {}}, std::move(context), evaluation_));
            return match ? std::optional(match->fingerprintId) : std::nullopt;
        } catch (const std::exception& error) {
            error_ = describeException(error);
        }
        return std::nullopt;
    }

    // What the conditions of the last run observed, depth first.
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
    }

    // The conditions of one rule against the standard context. The stand-ins answer the ping to "gw"
    // in 5 ms, the TCP services "banner:22", "truncated:22" (UTF-8 cut short) and "as:22", and the
    // pages of http://site/; the rest fails.
    void conditions_data()
    {
        QTest::addColumn<Conditions>("subject");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QStringList>("observed"); // by every evaluated condition, depth first
        QTest::addColumn<QString>("errorLine");    // the one error line, if any
        QTest::addColumn<bool>("evidence");        // of the context beyond its addresses

        const auto row = [](const QString& name, Conditions subject, bool matches, QStringList observed,
                            const QString& errorLine = {}, bool evidence = true) {
            QTest::newRow(qPrintable(name)) << subject << matches << observed << errorLine << evidence;
        };
        const auto bare = [&](const QString& name, Conditions subject, bool matches, QStringList observed) {
            row(name, std::move(subject), matches, std::move(observed), {}, false);
        };
        const auto one = [](FingerprintCondition only) { return Conditions{std::move(only)}; };
        const auto nested = [](FingerprintCondition only) { return Rules{rule("Nested", {std::move(only)})}; };
        const auto web = [](Arguments arguments) { return Conditions{condition(Type::webContent, arguments)}; };
        const auto page = [&](const QString& path, const QString& pattern) {
            return web({{"url", "http://site" + path}, {"match", pattern}});
        };
        const QString noRules = QStringLiteral("no nested rules");
        const QString missingRange = QStringLiteral("missing argument cidrRange");
        const QString missingWebArgument = QStringLiteral("missing or invalid argument url or match");
        const QString missingWeb = QStringLiteral("Missing arguments for webContent task");
        const QString welcome = QStringLiteral("HTTP 200, 24 bytes received");
        const FingerprintCondition yes = orOf(true);
        const FingerprintCondition no = orOf(false);

        // clang-format off
        row("internalIp: second IPv4 address matches", one(inRange("10.1.0.0/16")), true,
            {"10.1.2.3 (wlan0) is in the range"});
        row("internalIp: none in range, inverted", one(inRange("172.16.0.0/12", true)), true,
            {"no IPv4 address in the range (checked 192.168.1.20, 10.1.2.3)"});
        row("internalIp: first of two arguments counts",
            one(condition(Type::internalIp, {{"cidrRange", "192.168.1.0/24"}, {"cidrRange", "bad"}})), true,
            {"192.168.1.20 (eth0) is in the range"});
        row("internalIp: missing argument", one(condition(Type::internalIp, {{"cidr", "10.0.0.0/8"}})), false,
            {missingRange}, "Missing argument for internalIP task");
        row("externalIp: out of range, inverted", one(externalIn("198.51.100.0/24", true)), true,
            {"external address 203.0.113.7"});
        row("externalIp: missing argument", one(condition(Type::externalIp, {})), false, {missingRange},
            "Missing argument for externalIP task");
        row("ping: missing argument", one(condition(Type::ping, {{"host", "gw"}})), false, {"missing argument address"},
            "Missing argument for ping task");

        row("nested: own holds, nested does not", one(pingTo("gw", false, nested(no))), false, {"answered in 0.005 s", noRules});
        row("nested: evaluated although own is false", one(pingTo("printer", false, nested(yes))), false,
            {"no answer: TimeoutError(\"late\")", noRules});
        row("nested: inversion covers own and nested", one(pingTo("printer", true, nested(no))), true,
            {"no answer: TimeoutError(\"late\")", noRules});
        row("or: one of two nested rules holds", one(orOf(false, {rule("A", {no}), rule("B", {yes})})), true,
            {"holds through its nested rules", noRules, noRules});
        row("rule: without conditions never holds", {}, false, {});
        row("rule: the first fails, the rest runs", {no, yes}, false, {noRules, noRules});

        const auto test = [](Type type, Arguments arguments, bool inverted = false, Rules rules = {}) {
            return Conditions{condition(type, std::move(arguments), inverted, std::move(rules))};
        };
        const Type gw = Type::gateway, wifi = Type::wireless, dns = Type::dnsDomain, device = Type::peripheral;
        const QString mac9 = "02:00:5e:10:00:09", gateway9 = "gateway 10.1.2.1 (eth0) is " + mac9;
        const QString office = "connected to \"Office\" (02:00:5e:10:00:0b) on wlan0";
        const QString domains = "domains: corp.example, branch.example, Lab.Example.";
        const QString noDevice = "not connected (2 peripherals)", dock = "usb:17ef:3082:1S40AY";

        row("gateway: hardware address in upper case", test(gw, {{"hardwareAddress", mac9.toUpper()}}), true,
            {gateway9});
        row("gateway: IPv6 address in another form, zone left out",
            test(gw, {{"hardwareAddress", "02:00:5e:10:00:0a"}, {"address", "FE80:0::1%eth1"}}), true,
            {"gateway fe80::1 (eth0) is 02:00:5e:10:00:0a"});
        row("gateway: address of another gateway, inverted",
            test(gw, {{"hardwareAddress", mac9}, {"address", "fe80::1"}}, true), true,
            {"gateways seen: " + mac9 + " at 10.1.2.1 (eth0), 02:00:5e:10:00:0a at fe80::1 (eth0), none (wg0)"});
        row("gateway: missing hardware address", test(gw, {{"address", "10.1.2.1"}}), false,
            {"missing argument hardwareAddress"}, "Missing argument for gateway task");
        row("gateway: address not an address", test(gw, {{"hardwareAddress", mac9}, {"address", "gw"}}), false,
            {"invalid argument address"}, "Invalid address for gateway task gw");
        row("gateway: nested rule decides", test(gw, {{"hardwareAddress", mac9}}, false, nested(no)), false,
            {gateway9, noRules});
        bare("gateway: none", test(gw, {{"hardwareAddress", mac9}}), false, {"no gateway"});
        row("wireless: SSID compared exactly", test(wifi, {{"ssid", "office"}}), false, {office});
        row("wireless: BSSID in upper case", test(wifi, {{"bssid", "02:00:5E:10:00:0B"}}), true, {office});
        row("wireless: both must match one network", test(wifi, {{"ssid", "Office"}, {"bssid", mac9}}), false,
            {office});
        row("wireless: missing both", test(wifi, {{"SSID", "Office"}}), false, {"missing argument ssid or bssid"},
            "Missing arguments for wireless task");
        row("wireless: SSID, nested rule holds", test(wifi, {{"ssid", "Office"}}, false, nested(yes)), true,
            {office, noRules});
        bare("wireless: none, inverted", test(wifi, {{"ssid", "Office"}}, true), true, {"no Wi-Fi network"});
        row("dnsDomain: upper case and a trailing dot", test(dns, {{"domain", "Corp.Example."}}), true, {domains});
        row("dnsDomain: a saved domain's trailing dot", test(dns, {{"domain", "lab.example"}}), true, {domains});
        row("dnsDomain: no suffix match, inverted", test(dns, {{"domain", "example"}}, true), true, {domains});
        row("dnsDomain: missing argument", test(dns, {{"name", "corp.example"}}), false, {"missing argument domain"},
            "Missing argument for dnsDomain task");
        row("dnsDomain: nested rule decides", test(dns, {{"domain", "corp.example"}}, false, nested(no)), false,
            {domains, noRules});
        bare("dnsDomain: none", test(dns, {{"domain", "corp.example"}}), false, {"no DNS domain"});
        row("tunnel: through wg0", test(Type::tunnel, {}), true, {"wg0 is a tunnel"});
        row("tunnel: inverted", test(Type::tunnel, {}, true), false, {"wg0 is a tunnel"});
        row("tunnel: nested rule decides", test(Type::tunnel, {}, false, nested(no)), false,
            {"wg0 is a tunnel", noRules});
        bare("tunnel: no default route", test(Type::tunnel, {}), false, {"no default route"});
        row("peripheral: the dock", test(device, {{"id", dock}}), true, {"connected: Lenovo USB-C Dock"});
        row("peripheral: the model without the serial", test(device, {{"id", "usb:17ef:3082"}}), false, {noDevice});
        row("peripheral: compared exactly", test(device, {{"id", dock.toLower()}}), false, {noDevice});
        row("peripheral: missing argument", test(device, {}), false, {"missing argument id"},
            "Missing argument for peripheral task");
        row("peripheral: nested rule holds", test(device, {{"id", "display:DEL-a0b1-01020304"}}, false, nested(yes)),
            true, {"connected: DELL U2720Q", noRules});
        bare("peripheral: none, inverted", test(device, {{"id", dock}}, true), true, {"not connected (0 peripherals)"});

        row("connection: plus sign and leading zero in the port", one(connectTo("banner:+0022", "SSH")), true,
            {"14 bytes received"});
        row("connection: empty segments dropped", one(connectTo("::banner::22:", "^SSH-2\\.0")), true,
            {"14 bytes received"});
        row("connection: a sequence cut short is not UTF-8", one(connectTo("truncated:22", "abc")), false,
            {"5 bytes received"});
        row("connection: a pattern past its budget is false", one(connectTo("as:22", "(a+)+c$")), false,
            {"40 bytes received, patternTimedOut(\"(a+)+c$\")"});
        for (const QString bad : {"banner", "banner:65536", "banner:2x", "banner:+", "2001:db8::1:22"}) {
            row("connection: invalid host format " + bad, one(connectTo(bad, ".*")), false, {"not host:port"},
                "Invalid host format " + bad);
        }
        row("connection: missing match", one(condition(Type::connection, {{"hostport", "banner:22"}})), false,
            {"missing argument hostport or match"}, "Missing arguments for connection task");

        row("webContent: no match", web({{"url", "http://x/"}}), false, {missingWebArgument}, missingWeb);
        row("webContent: url not a URL", web({{"url", "http://exa mple.com/"}, {"match", "x"}}), false,
            {missingWebArgument}, missingWeb);
        row("webContent: a local file is not fetched", web({{"url", "file:///etc/x"}, {"match", ".*"}}), false,
            {"unsupportedURL(\"file:///etc/x\")"});
        row("webContent: case-sensitive", page("/ok", "WELCOME"), false, {welcome});
        row("webContent: empty body matches an empty pattern", page("/204", "^$"), true,
            {"HTTP 204, 0 bytes received"});
        row("webContent: 298 counts as success", page("/298", "fine"), true, {"HTTP 298, 4 bytes received"});
        row("webContent: 299 counts as failure", page("/299", "fine"), false, {"HTTP 299, 4 bytes received"});
        row("webContent: body not UTF-8", page("/latin1", "caf"), false, {"HTTP 200, 5 bytes received, not UTF-8"});
        row("webContent: invalid pattern", page("/ok", "("), false, {welcome + ", invalidPattern(\"(\")"});
        row("webContent: pattern past its budget", page("/as", "(a+)+c$"), false,
            {"HTTP 200, 5000 bytes received, patternTimedOut(\"(a+)+c$\")"});
        row("webContent: request failed", page("/gone", ".*"), false, {"request failed: TimeoutError(\"late\")"});
        row("webContent: not an HTTP answer", page("/raw", ".*"), false,
            {"not an HTTP response: HTTPResponse(url: \"http://site/raw\", statusCode: none, bodyBytes: 0)"});
        // clang-format on
    }

    void conditions()
    {
        QFETCH(Conditions, subject);
        QFETCH(bool, matches);
        QFETCH(QStringList, observed);
        QFETCH(QString, errorLine);
        QFETCH(bool, evidence);

        const QByteArray backtracking = QByteArray(QByteArray(48, 'a') + "c\n").repeated(100);
        probes_->answers = {{"gw", {"0.005"}},
                            {"banner:22", {"SSH-2.0-test\r\n"}},
                            {"truncated:22", {"abc\xe2\x82"}},
                            {"as:22", {QByteArray(40, 'a')}},
                            {"http://site/ok", {"Hello, welcome to Desk 7"}},
                            {"http://site/204", {"", 0ms, 204}},
                            {"http://site/298", {"fine", 0ms, 298}},
                            {"http://site/299", {"fine", 0ms, 299}},
                            {"http://site/latin1", {"caf\xe9!"}},
                            {"http://site/as", {backtracking}},
                            {"http://site/raw", {"", 0ms, std::nullopt}}};
        QCOMPARE(run({oneRule("Office", subject)}, standardContext(evidence)).has_value(), matches);
        QCOMPARE(error_, QString());
        QCOMPARE(this->observed(), observed);
        QCOMPARE(log_->errors(), errorLine.isEmpty() ? QStringList() : QStringList{errorLine});
    }

    // The first fingerprint to finish with a match decides the check; the probes still running are
    // cancelled and what they would have decided is marked not needed. Without a match every probe
    // is awaited, all of them overlapping. "silent" never answers; "gw" answers in 5 ms, "slow" in
    // 50 ms, "far" in 10 s.
    void earlyAnswer_data()
    {
        QTest::addColumn<std::vector<Fingerprint>>("fingerprints");
        QTest::addColumn<QString>("match");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("verdicts"); // of each fingerprint, in file order

        const Fingerprint office = oneRule("Office", {inRange("10.0.0.0/8")});
        const FingerprintCondition silentPage =
            condition(Type::webContent, {{"url", "http://silent/"}, {"match", "x"}});
        Fingerprint lab = oneRule("Lab", {condition(Type::internalIp, {{"cidrRange", "192.168.0.0/16"}}, false,
                                                    {rule("Nested", {pingTo("silent")})})});
        lab.rules.push_back(rule("Second", {connectTo("silent:22", "x")}));
        QTest::newRow("instant match, silent ping, web server and TCP server elsewhere")
            << std::vector{oneRule("Ping", {pingTo("silent")}), oneRule("Web", {silentPage}), lab, office}
            << "id-Office" << QStringList{"start silent",  "start http://silent/",  "start silent",  "start silent:22",
                                          "cancel silent", "cancel http://silent/", "cancel silent", "cancel silent:22"}
            << QStringList{"not needed", "not needed", "not needed", "matched"};
        QTest::newRow("a match that needs a probe")
            << std::vector{oneRule("Web", {silentPage}), oneRule("Gateway", {pingTo("gw")})} << "id-Gateway"
            << QStringList{"start http://silent/", "start gw", "end gw", "cancel http://silent/"}
            << QStringList{"not needed", "matched"};
        QTest::newRow("the first to finish wins, not the first in the file")
            << std::vector{oneRule("Slow", {pingTo("far")}), oneRule("Fast", {pingTo("gw")})} << "id-Fast"
            << QStringList{"start far", "start gw", "end gw", "cancel far"} << QStringList{"not needed", "matched"};
        QTest::newRow("no match waits for all")
            << std::vector{oneRule("A", {pingTo("slow"), inRange("172.16.0.0/12")}), oneRule("B", {pingTo("gw", true)}),
                           oneRule("C", {pingTo("printer")})}
            << QString() << QStringList{"start slow", "start gw", "start printer", "end printer", "end gw", "end slow"}
            << QStringList{"not matched", "not matched", "not matched"};
    }

    void earlyAnswer()
    {
        QFETCH(std::vector<Fingerprint>, fingerprints);
        QFETCH(QString, match);
        QFETCH(QStringList, events);
        QFETCH(QStringList, verdicts);

        probes_->answers = {{"silent", {{}, 0ms, 200, true}},
                            {"http://silent/", {{}, 0ms, 200, true}},
                            {"silent:22", {{}, 0ms, 200, true}},
                            {"gw", {"0.005", 5ms}},
                            {"slow", {"0.05", 50ms}},
                            {"far", {"0.01", 10s}}};
        QCOMPARE(run(fingerprints).value_or(QString()), match);
        QCOMPARE(error_, QString());
        QCOMPARE(probes_->events, events);
        QCOMPARE(log_->errors(), QStringList());
        QStringList seen;
        for (const FingerprintEvaluation& fingerprint : evaluation_.fingerprints) {
            seen.append(!fingerprint.finished ? "not needed" : fingerprint.matched.value() ? "matched" : "not matched");
        }
        QCOMPARE(seen, verdicts);
        if (match != u"id-Office") {
            return;
        }
        // Lab's instant condition keeps its own test; its nested ping and its second rule were not needed.
        const Json lab = evaluation_.toJson().at(2);
        const Json& labCondition = lab.at("rules").at(0).at("conditions").at(0);
        QVERIFY(lab.value("finished", true) == false && labCondition.at("own") == true);
        QVERIFY(labCondition.at("rules").at(0).at("conditions").at(0).value("finished", true) == false);
        QVERIFY(lab.at("rules").at(1).value("finished", true) == false);
        QVERIFY(!evaluation_.toJson().at(3).contains("finished"));
        QString report;
        QTextStream out(&report);
        writeEvaluationReport(out, evaluation_);
        out.flush();
        QVERIFY2(report.contains(QLatin1String("fingerprint \"Lab\" (id \"id-Lab\"): not needed\n"
                                               "  rule \"Main\": not needed\n"
                                               "    - internalIp cidrRange=\"192.168.0.0/16\": not needed\n"
                                               "      rule \"Nested\": not needed\n"
                                               "        - ping address=\"silent\": not needed\n"
                                               "  rule \"Second\": not needed\n")) &&
                     report.contains(QLatin1String("fingerprint \"Office\" (id \"id-Office\"): matched\n")),
                 qPrintable(report));
    }

    // Malformed CIDR or address text and an invalid TCP pattern anywhere in the file make the whole
    // call raise before any probe starts, even while another fingerprint matches at once.
    void errorsRaiseBeforeAnyProbe()
    {
        const char* external = "203.0.113.7";
        const struct {
            const char* name;
            FingerprintCondition faulty;
            const char *externalAddress, *error; // address empty: none
        } rows[] = {
            {"invalid range while no external address", externalIn("10.0.0/8"), "", "invalidDottedQuad(\"10.0.0\")"},
            {"IPv6 external address", externalIn("10.0.0.0/8"), "2001:db8::1", "invalidDottedQuad(\"2001:db8::1\")"},
            {"malformed interface address", inRange("172.16.0.0/12"), external, "invalidDottedQuad(\"\")"},
            {"inversion does not apply to errors", inRange("10.0.0.0/abc", true), external, "invalidCIDRMask(\"abc\")"},
            {"invalid TCP pattern", connectTo("banner:22", "(unclosed"), external, "invalidPattern(\"(unclosed\")"},
            {"error in a nested rule", orOf(true, {rule("Inner", {inRange("10.0.0.0/40")})}), external,
             "invalidCIDR(\"40\")"},
            {"error in a rule nested under a probe", pingTo("slow", false, {rule("Inner", {externalIn("1.2.3.4/0")})}),
             external, "invalidCIDR(\"0\")"},
        };
        probes_->answers.insert(QStringLiteral("slow"), {QByteArray("0.001"), 50ms});
        for (const auto& [name, faulty, externalAddress, error] : rows) {
            NetworkContext context = standardContext();
            context.externalIPv4 = *externalAddress ? std::optional<QString>(externalAddress) : std::nullopt;
            // A malformed address, reached only by a range that none of the addresses before it falls into.
            context.internalAddresses.push_back({AddressType::IPv4, QStringLiteral("tun0"), QString()});
            probes_->events.clear();
            const auto match = run({oneRule("Good", {inRange("10.0.0.0/8")}),
                                    oneRule("Faulty", {pingTo("slow"), faulty}), oneRule("Slow", {pingTo("slow")})},
                                   context);
            QVERIFY2(!match && error_ == QLatin1String(error), qPrintable(name + (": " + error_)));
            QVERIFY2(probes_->events.isEmpty(), name);
            // The error is recorded on its condition.
            const Json faultyEvaluation = evaluation_.toJson().at(1).at("rules").at(0).at("conditions").at(1);
            const Json recorded = faultyEvaluation.at("error").is_null()
                                      ? faultyEvaluation.at("rules").at(0).at("conditions").at(0).at("error")
                                      : faultyEvaluation.at("error");
            QVERIFY2(recorded == Json(error), name);
        }
    }

    // A range alone gives its network and mask bits; with an address, whether it holds it. Refused
    // texts give the error with the text it carries.
    void ranges()
    {
        const struct {
            const char *name, *range, *address, *expected; // address empty: none
        } rows[] = {
            {"host bits cleared", "10.1.2.3/8", "", "Network = 167772160 maskBits=8"},
            {"single host", "192.168.1.7/32", "", "Network = 3232235783 maskBits=32"},
            {"plus sign on mask", "10.0.0.0/+8", "", "Network = 167772160 maskBits=8"},
            {"empty octet dropped", "10..0.0.1/24", "", "Network = 167772160 maskBits=24"},
            {"plus sign, leading zero on octet", "+010.0.0.1/24", "", "Network = 167772160 maskBits=24"},
            {"mask 0", "0.0.0.0/0", "", R"(invalidCIDR("0"))"},
            {"mask 33", "10.0.0.0/33", "", R"(invalidCIDR("33"))"},
            {"mask sign only", "10.0.0.0/+", "", R"(invalidCIDRMask("+"))"},
            {"mask beyond 64 bits", "1.0.0.0/9223372036854775808", "", R"(invalidCIDRMask("9223372036854775808"))"},
            {"mask at 64-bit limit", "1.0.0.0/9223372036854775807", "", R"(invalidCIDR("9223372036854775807"))"},
            {"two slashes", "10.0.0.0/8/9", "", R"(invalidCIDR("10.0.0.0/8/9"))"},
            {"mask only", "/24", "", R"(invalidCIDR("/24"))"},
            {"octet 256", "10.0.0.256/24", "", R"(invalidCIDR("10.0.0.256"))"},
            {"negative octet", "10.0.-1.0/24", "", R"(invalidCIDR("10.0.-1.0"))"},
            {"octet not a number", "10.0.0.x/24", "", R"(invalidDottedQuad("10.0.0.x"))"},
            {"mask checked before address", "garbage/40", "", R"(invalidCIDR("40"))"},
            {"/32 itself", "192.168.1.7/32", "192.168.1.7", "true"},
            {"/32 neighbour", "192.168.1.7/32", "192.168.1.8", "false"},
            {"/1 upper half", "128.0.0.0/1", "255.255.255.255", "true"},
            {"/1 lower half", "128.0.0.0/1", "127.255.255.255", "false"},
        };
        for (const auto& row : rows) {
            QString seen;
            try {
                const CIDRv4 cidr(QString::fromLatin1(row.range));
                seen = *row.address ? QVariant(cidr.contains(row.address)).toString() : cidr.debugDescription();
            } catch (const CIDRErrors& error) {
                seen = error.description();
            }
            QVERIFY2(seen == QLatin1String(row.expected), qPrintable(row.name + (": " + seen)));
        }
    }

    // Each row changes the base document at a JSON pointer (empty: replaces the whole document). A
    // rejected file names the key the pointer leads to.
    void decoding()
    {
        const QString c = QStringLiteral("/fingerprints/0/rules/0/conditions/0");
        const QString f = QStringLiteral("/fingerprints/0");
        const struct {
            const char* name;
            QString pointer, replacement; // JSON text, or <remove>
            bool accepted;
        } rows[] = {
            {"empty fingerprint list", "/fingerprints", "[]", true},
            {"unknown keys ignored", f + "/colour", R"("blue")", true},
            {"condition without rules", c + "/rules", "<remove>", false},
            {"condition without inverted", c + "/inverted", "<remove>", false},
            {"type InternalIp", c + "/type", R"("InternalIp")", false},
            {"type gateway", c + "/type", R"("gateway")", true},
            {"type wireless", c + "/type", R"("wireless")", true},
            {"type dnsDomain", c + "/type", R"("dnsDomain")", true},
            {"type tunnel", c + "/type", R"("tunnel")", true},
            {"type peripheral", c + "/type", R"("peripheral")", true},
            {"type dnsdomain", c + "/type", R"("dnsdomain")", false},
            {"name null", f + "/name", "null", false},
            {"levelId a number", f + "/locationPoint/levelId", "3", false},
            {"rules an object", f + "/rules", "{}", false},
            {"version fractional", "/fingerprintVersion", "7.5", false},
            {"version beyond 64 bits", "/fingerprintVersion", "9223372036854775808", false},
            {"version written with a fraction", "/fingerprintVersion", "7.0", true},
            {"version as an exponent beyond 64 bits", "/fingerprintVersion", "1e19", false},
            {"brackets inside strings are not nesting", f + "/name", u'"' + QString(u'[').repeated(600) + "\\\"{\"",
             true},
            {"served without fraction", "/createdAt", R"("2026-11-30T09:15:00Z")", false},
            {"served impossible date", "/createdAt", R"("2026-02-30T09:15:00.1Z")", false},
            {"served offset hour 24", "/createdAt", R"("2026-11-30T09:15:00.1+24:00")", false},
            {"a repeated key takes the last value", "",
             R"({"fingerprintVersion":"seven","fingerprints":[],"fingerprintVersion":7,"createdAt":"2026-11-30T09:15:00.1Z"})",
             true},
            {"number beyond a double", "", R"({"fingerprintVersion": 1e999})", false},
        };
        for (const auto& [name, pointer, replacement, accepted] : rows) {
            // "/fingerprints/0/name" names the key fingerprints[0].name.
            const QString path = QString(pointer)
                                     .replace(QRegularExpression(QStringLiteral("/(\\d+)")), QStringLiteral("[\\1]"))
                                     .replace(u'/', u'.')
                                     .mid(1);
            try {
                const FingerprintFile file = decodeFingerprintFile(
                    pointer.isEmpty() ? replacement.toUtf8() : mutated(pointer, replacement), TimestampForm::served);
                QVERIFY2(accepted, name);
                // The stored copy holds the same conditions.
                const FingerprintFile stored =
                    decodeFingerprintFile(encodeFingerprintFile(file), TimestampForm::stored);
                QVERIFY2(std::ranges::equal(stored.fingerprints, file.fingerprints, {}, &Fingerprint::rules,
                                            &Fingerprint::rules),
                         name);
            } catch (const JsonDecodeError& error) {
                QVERIFY2(!accepted && error.path() == path && error.description().startsWith(path),
                         qPrintable(name + (": " + error.description())));
            }
        }
    }

    void nestingIsBounded()
    {
        const auto decode = [](const QByteArray& json) { return decodeFingerprintFile(json, TimestampForm::served); };
        QCOMPARE(decode(nestedRules(maxRuleNesting)).fingerprints.size(), 1u);
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode(nestedRules(maxRuleNesting + 1)));
        // Far beyond the limit the decoder still answers with an error instead of running out of stack.
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode(nestedRules(20000)));
    }

    // The sample file: a version beyond a double's integers, milliseconds, a null placeId (left out
    // of the stored form), and the stored form holding the same in whole seconds. An offset converts
    // to UTC.
    void sampleAndStoredForm()
    {
        QFile sample(QStringLiteral(NEROVA_SAMPLE_FILE));
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const FingerprintFile served = decodeFingerprintFile(sample.readAll(), TimestampForm::served);
        QCOMPARE(served.fingerprintVersion, 9007199254740993LL);
        QCOMPARE(served.createdAt, QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 123), Qt::UTC));
        QCOMPARE(served.fingerprints[0].locationPoint,
                 (LocationPoint{"site-hq", "level-3", "zone-east", std::nullopt}));
        const QByteArray storedBytes = encodeFingerprintFile(served);
        QVERIFY(!storedBytes.contains("placeId"));
        const FingerprintFile stored = decodeFingerprintFile(storedBytes, TimestampForm::stored);

        QCOMPARE(stored.fingerprintVersion, served.fingerprintVersion);
        QCOMPARE(stored.createdAt, served.createdAt.addMSecs(-served.createdAt.time().msec()));
        const auto fields = [](const Fingerprint& f) {
            return std::tie(f.fingerprintId, f.name, f.locationPoint, f.rules);
        };
        QVERIFY(std::ranges::equal(stored.fingerprints, served.fingerprints, {}, fields, fields));
        // The comparison looks into nested rules: a changed nested argument shows.
        std::vector<FingerprintRule> altered = stored.fingerprints[0].rules;
        altered[1].conditions[0].rules[0].conditions[0].arguments[0].value = "x";
        QVERIFY(altered != served.fingerprints[0].rules);
        QCOMPARE(decodeFingerprintFile(mutated("/createdAt", R"("2026-11-30T10:15:00.5+01:00")"), TimestampForm::served)
                     .createdAt,
                 QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 500), Qt::UTC));
    }
};

QTEST_GUILESS_MAIN(RulesEngineTest)
#include "RulesEngineTest.moc"
