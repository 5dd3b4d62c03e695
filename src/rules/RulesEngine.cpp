#include "rules/RulesEngine.h"

#include "common/TaskGroup.h"
#include "network/HttpExchange.h"
#include "network/URLLoadingError.h"
#include "rules/CIDRv4.h"
#include "rules/PatternMatcher.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QStringDecoder>

namespace nerova {

Q_LOGGING_CATEGORY(lcRulesEngine, "nerova.RulesEngine", QtInfoMsg)

namespace {

void observe(ConditionEvaluation* evaluation, QString text)
{
    if (evaluation) {
        evaluation->observed = std::move(text);
    }
}

// The text of strictly valid UTF-8 bytes; nothing for anything else.
std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// "host:port": exactly two non-empty segments around colons, the port decimal from 0 to 65535
// with an optional plus sign.
std::optional<std::pair<QString, quint16>> parseHostPort(const QString& text)
{
    const QStringList parts = text.split(u':', Qt::SkipEmptyParts);
    if (parts.size() != 2) {
        return std::nullopt;
    }
    QStringView digits(parts[1]);
    if (digits.startsWith(u'+')) {
        digits = digits.mid(1);
    }
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    quint32 port = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        port = port * 10 + (c.unicode() - u'0');
        if (port > 65535) {
            return std::nullopt;
        }
    }
    return std::pair{parts[0], quint16(port)};
}

QString describeResponse(const HttpResponse& response)
{
    return QStringLiteral("HTTPResponse(url: \"%1\", statusCode: %2, bodyBytes: %3)")
        .arg(response.url.toString(),
             response.statusCode ? QString::number(*response.statusCode) : QStringLiteral("none"))
        .arg(response.body.size());
}

} // namespace

// The context of one check, with the values of its IPv4 interface addresses parsed once, on first
// use: with thousands of internalIp conditions the same few addresses would otherwise be parsed
// again for every one of them. A malformed address raises wherever a condition reaches it, exactly
// as parsing it there would.
class RulesEngine::Snapshot {
public:
    Snapshot(const NetworkContext& context, std::chrono::nanoseconds patternBudget)
        : context_(context), values_(context.internalAddresses.size()), patternTimeLeft_(patternBudget)
    {}

    const NetworkContext& context() const { return context_; }

    // Searches `text` with `matcher` within what is left of the check's budget for patterns;
    // nothing once that is spent.
    std::optional<bool> search(PatternMatcher& matcher, const QString& text)
    {
        return matcher.search(text, patternTimeLeft_);
    }

    qint64 addressValue(std::size_t index)
    {
        Parsed& parsed = values_[index];
        if (!parsed.done) {
            parsed.done = true;
            try {
                parsed.value = CIDRv4::dottedQuadValue(context_.internalAddresses[index].address);
            } catch (...) {
                parsed.error = std::current_exception();
            }
        }
        if (parsed.error) {
            std::rethrow_exception(parsed.error);
        }
        return parsed.value;
    }

private:
    struct Parsed {
        bool done = false;
        qint64 value = 0;
        std::exception_ptr error;
    };

    const NetworkContext& context_;
    std::vector<Parsed> values_;
    std::chrono::nanoseconds patternTimeLeft_;
};

RulesEngine::RulesEngine(QNetworkAccessManager& network, std::shared_ptr<RulesEngineProbes> probes,
                         std::chrono::milliseconds webContentTimeout, std::chrono::milliseconds patternBudget)
    : network_(network),
      probes_(std::move(probes)),
      webContentTimeout_(webContentTimeout),
      patternBudget_(patternBudget)
{}

QCoro::Task<std::optional<Fingerprint>> RulesEngine::checkFingerprints(FingerprintFile file, NetworkContext context,
                                                                       RulesEngineEvaluation* evaluation)
{
    qCDebug(lcRulesEngine, "Starting fingerprint check");
    if (evaluation) {
        *evaluation = RulesEngineEvaluation::outline(file);
    }
    // The children refer to `file`, `context` and `snapshot`, which live in this frame until the
    // group is drained.
    Snapshot snapshot(context, patternBudget_);
    TaskGroup<std::pair<std::size_t, bool>> group;
    for (std::size_t i = 0; i < file.fingerprints.size(); ++i) {
        const Fingerprint& fingerprint = file.fingerprints[i];
        qCDebug(lcRulesEngine, "Checking fingeprint %s", qUtf8Printable(fingerprint.name));
        group.add(checkFingerprint(i, fingerprint, snapshot, evaluation ? &evaluation->fingerprints[i] : nullptr));
    }
    std::optional<std::size_t> firstMatch;
    while (const std::optional<std::pair<std::size_t, bool>> result = co_await group.next()) {
        if (result->second && !firstMatch) {
            firstMatch = result->first;
        }
    }
    qCDebug(lcRulesEngine, "Finished fingerprint check");
    if (!firstMatch) {
        co_return std::nullopt;
    }
    co_return std::move(file.fingerprints[*firstMatch]);
}

QCoro::Task<std::pair<std::size_t, bool>> RulesEngine::checkFingerprint(std::size_t index,
                                                                        const Fingerprint& fingerprint,
                                                                        Snapshot& snapshot,
                                                                        FingerprintEvaluation* evaluation)
{
    TaskGroup<bool> group;
    for (std::size_t i = 0; i < fingerprint.rules.size(); ++i) {
        const FingerprintRule& rule = fingerprint.rules[i];
        qCDebug(lcRulesEngine, "Checking rule %s", qUtf8Printable(rule.name));
        group.add(checkRule(rule, snapshot, evaluation ? &evaluation->rules[i] : nullptr));
    }
    bool matched = false;
    while (const std::optional<bool> result = co_await group.next()) {
        matched = matched || *result;
    }
    if (evaluation) {
        evaluation->matched = matched;
    }
    co_return std::pair{index, matched};
}

// A rule holds when all of its conditions hold, and never when it has none. The conditions run
// concurrently and every one of them is awaited.
QCoro::Task<bool> RulesEngine::checkRule(const FingerprintRule& rule, Snapshot& snapshot, RuleEvaluation* evaluation)
{
    TaskGroup<bool> group;
    for (std::size_t i = 0; i < rule.conditions.size(); ++i) {
        group.add(conditionValue(rule.conditions[i], snapshot, evaluation ? &evaluation->conditions[i] : nullptr));
    }
    bool holds = !rule.conditions.empty();
    while (const std::optional<bool> result = co_await group.next()) {
        holds = holds && *result;
    }
    if (evaluation) {
        evaluation->value = holds;
    }
    co_return holds;
}

QCoro::Task<bool> RulesEngine::conditionValue(const FingerprintCondition& condition, Snapshot& snapshot,
                                              ConditionEvaluation* evaluation)
{
    bool own = false;
    try {
        own = co_await checkCondition(condition, snapshot, evaluation);
    } catch (const std::exception& error) {
        if (evaluation) {
            evaluation->error = describeException(error);
        }
        throw;
    }
    if (evaluation) {
        evaluation->own = own;
    }
    bool value = own;
    if (!condition.rules.empty()) {
        // Evaluated even when the own test is false.
        TaskGroup<bool> group;
        for (std::size_t i = 0; i < condition.rules.size(); ++i) {
            group.add(checkRule(condition.rules[i], snapshot, evaluation ? &evaluation->rules[i] : nullptr));
        }
        bool nested = false;
        while (const std::optional<bool> result = co_await group.next()) {
            nested = nested || *result;
        }
        if (evaluation) {
            evaluation->nested = nested;
        }
        value = own && nested;
    }
    value = value != condition.inverted;
    if (evaluation) {
        evaluation->value = value;
    }
    co_return value;
}

QCoro::Task<bool> RulesEngine::checkCondition(const FingerprintCondition& condition, Snapshot& snapshot,
                                              ConditionEvaluation* evaluation)
{
    qCDebug(lcRulesEngine, "Checking condition");
    switch (condition.type) {
    case FingerprintConditionType::internalIp: co_return checkInternalIP(condition, snapshot, evaluation);
    case FingerprintConditionType::externalIp:
        co_return checkExternalIP(condition, snapshot.context().externalIPv4, evaluation);
    case FingerprintConditionType::ping: co_return co_await checkPing(condition, evaluation);
    case FingerprintConditionType::webContent: co_return co_await checkWebContent(condition, snapshot, evaluation);
    case FingerprintConditionType::connection: co_return co_await checkConnection(condition, snapshot, evaluation);
    case FingerprintConditionType::or_:
        observe(evaluation, condition.rules.empty() ? QStringLiteral("no nested rules")
                                                    : QStringLiteral("holds through its nested rules"));
        co_return !condition.rules.empty();
    }
    co_return false;
}

std::optional<std::pair<QString, CIDRv4>> RulesEngine::rangeArgument(const FingerprintCondition& condition,
                                                                     const char* missingLine,
                                                                     ConditionEvaluation* evaluation) const
{
    std::optional<QString> range = condition.argument(u"cidrRange");
    if (!range) {
        qCCritical(lcRulesEngine, "%s", missingLine);
        observe(evaluation, QStringLiteral("missing argument cidrRange"));
        return std::nullopt;
    }
    const CIDRv4 cidr(*range);
    qCDebug(lcRulesEngine, "Checking cidrv4 of %s", qUtf8Printable(*range));
    return std::pair{std::move(*range), cidr};
}

bool RulesEngine::checkInternalIP(const FingerprintCondition& condition, Snapshot& snapshot,
                                  ConditionEvaluation* evaluation) const
{
    const auto argument = rangeArgument(condition, "Missing argument for internalIP task", evaluation);
    if (!argument) {
        return false;
    }
    const auto& [range, cidr] = *argument;
    const qint64 mask = CIDRv4::netmask(cidr.maskBits());
    QStringList checked;
    const std::vector<NetworkAddress>& addresses = snapshot.context().internalAddresses;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const NetworkAddress& address = addresses[i];
        if (address.type != AddressType::IPv4) {
            continue;
        }
        qCDebug(lcRulesEngine, "Checking %s", qUtf8Printable(address.address));
        if ((mask & snapshot.addressValue(i)) == cidr.network()) {
            qCDebug(lcRulesEngine, "Matched %s to %s", qUtf8Printable(address.address), qUtf8Printable(range));
            observe(evaluation, QStringLiteral("%1 (%2) is in the range").arg(address.address, address.name));
            return true;
        }
        if (evaluation) {
            checked.append(address.address);
        }
    }
    qCDebug(lcRulesEngine, "No match found for %s", qUtf8Printable(range));
    observe(evaluation,
            checked.isEmpty()
                ? QStringLiteral("no IPv4 address")
                : QStringLiteral("no IPv4 address in the range (checked %1)").arg(checked.join(QLatin1String(", "))));
    return false;
}

bool RulesEngine::checkExternalIP(const FingerprintCondition& condition, const std::optional<QString>& externalIPv4,
                                  ConditionEvaluation* evaluation) const
{
    const auto argument = rangeArgument(condition, "Missing argument for externalIP task", evaluation);
    if (!argument) {
        return false;
    }
    const CIDRv4& cidr = argument->second;
    if (!externalIPv4) {
        qCDebug(lcRulesEngine, "No external IP found");
        observe(evaluation, QStringLiteral("no external address"));
        return false;
    }
    observe(evaluation, QStringLiteral("external address %1").arg(*externalIPv4));
    return (CIDRv4::netmask(cidr.maskBits()) & CIDRv4::dottedQuadValue(*externalIPv4)) == cidr.network();
}

QCoro::Task<bool> RulesEngine::checkPing(const FingerprintCondition& condition, ConditionEvaluation* evaluation)
{
    const std::optional<QString> address = condition.argument(u"address");
    if (!address) {
        qCCritical(lcRulesEngine, "Missing argument for ping task");
        observe(evaluation, QStringLiteral("missing argument address"));
        co_return false;
    }
    try {
        const double seconds = co_await probes_->ping(*address, pingTimeoutSeconds);
        qCDebug(lcRulesEngine, "Ping completed in %fs", seconds);
        observe(evaluation, QStringLiteral("answered in %1 s").arg(seconds));
        co_return true;
    } catch (const std::exception& error) {
        qCDebug(lcRulesEngine, "Ping failed with error: %s", qUtf8Printable(describeException(error)));
        observe(evaluation, QStringLiteral("no answer: %1").arg(describeException(error)));
    }
    co_return false;
}

QCoro::Task<bool> RulesEngine::checkWebContent(const FingerprintCondition& condition, Snapshot& snapshot,
                                               ConditionEvaluation* evaluation)
{
    const std::optional<QString> urlText = condition.argument(u"url");
    const QUrl url = urlText ? QUrl(*urlText, QUrl::StrictMode) : QUrl();
    const std::optional<QString> pattern = condition.argument(u"match");
    if (!url.isValid() || !pattern) {
        qCCritical(lcRulesEngine, "Missing arguments for webContent task");
        observe(evaluation, QStringLiteral("missing or invalid argument url or match"));
        co_return false;
    }
    qCDebug(lcRulesEngine, "Checking %s for %s", qUtf8Printable(*urlText), qUtf8Printable(*pattern));

    // Only web addresses are fetched: other schemes would read local files or devices.
    if (url.scheme() != u"http" && url.scheme() != u"https") {
        const QString error = describeCase(QStringLiteral("unsupportedURL"), *urlText);
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error));
        observe(evaluation, error);
        co_return false;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // The timeout bounds the whole request, so that a server trickling data cannot hold up the check.
    ExchangeOptions options;
    options.deadline = webContentTimeout_;
    options.maxBodyBytes = maxWebContentBytes;
    HttpResponse response;
    try {
        response = co_await exchange(network_, request, std::move(options));
    } catch (const URLLoadingError& failure) {
        const QString error = failure.description();
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error));
        observe(evaluation, QStringLiteral("request failed: %1").arg(error));
        co_return false;
    }
    if (!response.statusCode) {
        const QString description = describeResponse(response);
        qCInfo(lcRulesEngine, "%s", qUtf8Printable(description));
        observe(evaluation, QStringLiteral("not an HTTP response: %1").arg(description));
        co_return false;
    }
    const QByteArray& body = response.body;
    const int status = *response.statusCode;
    const std::optional<QString> text = decodeUtf8(body);
    if (!text) {
        qCInfo(lcRulesEngine, "%s", qUtf8Printable(describeResponse(response)));
        observe(evaluation, QStringLiteral("HTTP %1, %2 bytes received, not UTF-8").arg(status).arg(body.size()));
        co_return false;
    }
    if (status >= 299) {
        qCDebug(lcRulesEngine, "HTTP response from %s was %ld", qUtf8Printable(*urlText), long(status));
        observe(evaluation, QStringLiteral("HTTP %1, %2 bytes received").arg(status).arg(body.size()));
        co_return false;
    }
    std::optional<PatternMatcher> matcher = PatternMatcher::compile(*pattern);
    if (!matcher) {
        const RulesEngineError error(RulesEngineError::Case::invalidPattern, *pattern);
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error.description()));
        observe(evaluation,
                QStringLiteral("HTTP %1, %2 bytes received, %3").arg(status).arg(body.size()).arg(error.description()));
        co_return false;
    }
    const std::optional<bool> result = snapshot.search(*matcher, *text);
    if (!result) {
        const RulesEngineError error(RulesEngineError::Case::patternTimedOut, *pattern);
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error.description()));
        observe(evaluation,
                QStringLiteral("HTTP %1, %2 bytes received, %3").arg(status).arg(body.size()).arg(error.description()));
        co_return false;
    }
    qCDebug(lcRulesEngine, "Regex result is %s", *result ? "true" : "false");
    observe(evaluation, QStringLiteral("HTTP %1, %2 bytes received").arg(status).arg(body.size()));
    co_return *result;
}

QCoro::Task<bool> RulesEngine::checkConnection(const FingerprintCondition& condition, Snapshot& snapshot,
                                               ConditionEvaluation* evaluation)
{
    const std::optional<QString> hostport = condition.argument(u"hostport");
    const std::optional<QString> pattern = condition.argument(u"match");
    if (!hostport || !pattern) {
        qCCritical(lcRulesEngine, "Missing arguments for connection task");
        observe(evaluation, QStringLiteral("missing argument hostport or match"));
        co_return false;
    }
    const std::optional<std::pair<QString, quint16>> target = parseHostPort(*hostport);
    if (!target) {
        qCCritical(lcRulesEngine, "Invalid host format %s", qUtf8Printable(*hostport));
        observe(evaluation, QStringLiteral("not host:port"));
        co_return false;
    }
    const auto& [host, port] = *target;
    std::optional<PatternMatcher> matcher = PatternMatcher::compile(*pattern);
    if (!matcher) {
        throw RulesEngineError(RulesEngineError::Case::invalidPattern, *pattern);
    }
    qCDebug(lcRulesEngine, "Checking %s:%hu for %s", qUtf8Printable(host), port, qUtf8Printable(*pattern));
    QByteArray received;
    try {
        received = co_await probes_->receive(host, port);
    } catch (const std::exception& error) {
        qCInfo(lcRulesEngine, "Caught error in async connection %s", qUtf8Printable(describeException(error)));
        observe(evaluation, QStringLiteral("connection failed: %1").arg(describeException(error)));
        co_return false;
    }
    const std::optional<bool> result = snapshot.search(*matcher, decodeUtf8(received).value_or(QString()));
    if (!result) {
        const RulesEngineError error(RulesEngineError::Case::patternTimedOut, *pattern);
        qCInfo(lcRulesEngine, "Caught error in async connection %s", qUtf8Printable(error.description()));
        observe(evaluation, QStringLiteral("%1 bytes received, %2").arg(received.size()).arg(error.description()));
        co_return false;
    }
    qCDebug(lcRulesEngine, "Regex result is %s", *result ? "true" : "false");
    observe(evaluation, QStringLiteral("%1 bytes received").arg(received.size()));
    co_return *result;
}

} // namespace nerova
