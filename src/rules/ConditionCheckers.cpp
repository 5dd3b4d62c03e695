#include "rules/ConditionCheckers.h"

#include "network/URLLoadingError.h"
#include "rules/CIDRv4.h"
#include "rules/RulesEngine.h"
#include "rules/RulesEngineLogging.h"

#include <QHostAddress>
#include <QStringDecoder>

#include <algorithm>

namespace nerova {

namespace {

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

// The argument `name` of a condition of the type `task` names; nothing, after the log line and the
// observed text that say so, when it is missing.
std::optional<QString> requiredArgument(const FingerprintCondition& condition, const char* name, const char* task,
                                        ConditionEvaluation& evaluation)
{
    std::optional<QString> value = condition.argument(QString::fromLatin1(name));
    if (!value) {
        qCCritical(lcRulesEngine, "Missing argument for %s task", task);
        evaluation.observed = QStringLiteral("missing argument %1").arg(QLatin1String(name));
    }
    return value;
}

// The condition's "cidrRange" text and its range (raises CIDRErrors for bad text), logged as
// checked; nothing, after saying so, when the argument is missing.
std::optional<std::pair<QString, CIDRv4>> rangeArgument(const FingerprintCondition& condition, const char* task,
                                                        ConditionEvaluation& evaluation)
{
    std::optional<QString> range = requiredArgument(condition, "cidrRange", task, evaluation);
    if (!range) {
        return std::nullopt;
    }
    const CIDRv4 cidr(*range);
    qCDebug(lcRulesEngine, "Checking cidrv4 of %s", qUtf8Printable(*range));
    return std::pair{std::move(*range), cidr};
}

// An address argument or gateway address as a value: IPv6 text in any case or abbreviation
// compares equal, and a zone ("%eth0") is left out. Null for anything that is not an address.
QHostAddress hostAddress(const QString& text)
{
    QHostAddress address(text);
    address.setScopeId(QString());
    return address;
}

// A DNS domain as it is compared: lower case, without its trailing dot.
QString domainKey(const QString& domain)
{
    QString key = domain.toLower();
    if (key.endsWith(u'.')) {
        key.chop(1);
    }
    return key;
}

} // namespace

bool checkInternalIP(const FingerprintCondition& condition, CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const auto argument = rangeArgument(condition, "internalIP", evaluation);
    if (!argument) {
        return false;
    }
    const auto& [range, cidr] = *argument;
    const qint64 mask = CIDRv4::netmask(cidr.maskBits());
    const std::vector<NetworkAddress>& addresses = snapshot.context().internalAddresses;
    QString checked; // the IPv4 addresses tested, comma-separated
    checked.reserve(qsizetype(addresses.size()) * 17);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const NetworkAddress& address = addresses[i];
        if (address.type != AddressType::IPv4) {
            continue;
        }
        qCDebug(lcRulesEngine, "Checking %s", qUtf8Printable(address.address));
        if ((mask & snapshot.addressValue(i)) == cidr.network()) {
            qCDebug(lcRulesEngine, "Matched %s to %s", qUtf8Printable(address.address), qUtf8Printable(range));
            evaluation.observed = QStringLiteral("%1 (%2) is in the range").arg(address.address, address.name);
            return true;
        }
        if (!checked.isEmpty()) {
            checked += QLatin1String(", ");
        }
        checked += address.address;
    }
    qCDebug(lcRulesEngine, "No match found for %s", qUtf8Printable(range));
    evaluation.observed = checked.isEmpty() ? QStringLiteral("no IPv4 address")
                                            : QLatin1String("no IPv4 address in the range (checked ") + checked + u')';
    return false;
}

bool checkExternalIP(const FingerprintCondition& condition, CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const auto argument = rangeArgument(condition, "externalIP", evaluation);
    if (!argument) {
        return false;
    }
    const CIDRv4& cidr = argument->second;
    const std::optional<QString>& externalIPv4 = snapshot.context().externalIPv4;
    if (!externalIPv4) {
        qCDebug(lcRulesEngine, "No external IP found");
        evaluation.observed = QStringLiteral("no external address");
        return false;
    }
    evaluation.observed = QStringLiteral("external address %1").arg(*externalIPv4);
    return (CIDRv4::netmask(cidr.maskBits()) & CIDRv4::dottedQuadValue(*externalIPv4)) == cidr.network();
}

bool checkGateway(const FingerprintCondition& condition, const CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const std::optional<QString> hardwareAddress =
        requiredArgument(condition, "hardwareAddress", "gateway", evaluation);
    if (!hardwareAddress) {
        return false;
    }
    const std::optional<QString> addressText = condition.argument(u"address");
    std::optional<QHostAddress> address;
    if (addressText) {
        address = hostAddress(*addressText);
        if (address->isNull()) {
            qCCritical(lcRulesEngine, "Invalid address for gateway task %s", qUtf8Printable(*addressText));
            evaluation.observed = QStringLiteral("invalid argument address");
            return false;
        }
    }
    const std::vector<Gateway>& gateways = snapshot.context().evidence.gateways;
    QStringList seen;
    for (const Gateway& gateway : gateways) {
        const bool sameHardware =
            gateway.hardwareAddress && gateway.hardwareAddress->compare(*hardwareAddress, Qt::CaseInsensitive) == 0;
        const bool sameAddress =
            !address ||
            (gateway.address && hostAddress(*gateway.address).isEqual(*address, QHostAddress::StrictConversion));
        if (sameHardware && sameAddress) {
            evaluation.observed =
                gateway.address ? QStringLiteral("gateway %1 (%2) is %3")
                                      .arg(*gateway.address, gateway.name, *gateway.hardwareAddress)
                                : QStringLiteral("gateway on %1 is %2").arg(gateway.name, *gateway.hardwareAddress);
            return true;
        }
        QString entry = gateway.hardwareAddress.value_or(QStringLiteral("none"));
        if (address && gateway.address) {
            entry += QLatin1String(" at ") + *gateway.address;
        }
        seen.append(entry + QLatin1String(" (") + gateway.name + u')');
    }
    qCDebug(lcRulesEngine, "No gateway is %s", qUtf8Printable(*hardwareAddress));
    evaluation.observed = seen.isEmpty() ? QStringLiteral("no gateway")
                                         : QLatin1String("gateways seen: ") + seen.join(QLatin1String(", "));
    return false;
}

bool checkWireless(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                   ConditionEvaluation& evaluation)
{
    const std::optional<QString> ssid = condition.argument(u"ssid");
    const std::optional<QString> bssid = condition.argument(u"bssid");
    if (!ssid && !bssid) {
        qCCritical(lcRulesEngine, "Missing arguments for wireless task");
        evaluation.observed = QStringLiteral("missing argument ssid or bssid");
        return false;
    }
    const std::vector<WirelessNetwork>& networks = snapshot.context().evidence.wirelessNetworks;
    QStringList seen;
    for (const WirelessNetwork& network : networks) {
        const QString description =
            QStringLiteral("connected to \"%1\" (%2) on %3").arg(network.ssid, network.bssid, network.name);
        if ((!ssid || network.ssid == *ssid) && (!bssid || network.bssid.compare(*bssid, Qt::CaseInsensitive) == 0)) {
            evaluation.observed = description;
            return true;
        }
        seen.append(description);
    }
    evaluation.observed = seen.isEmpty() ? QStringLiteral("no Wi-Fi network") : seen.join(QLatin1String(", "));
    return false;
}

bool checkDnsDomain(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                    ConditionEvaluation& evaluation)
{
    const std::optional<QString> domain = requiredArgument(condition, "domain", "dnsDomain", evaluation);
    if (!domain) {
        return false;
    }
    const QString wanted = domainKey(*domain);
    const std::vector<QString>& domains = snapshot.context().evidence.dnsDomains;
    evaluation.observed = domains.empty() ? QStringLiteral("no DNS domain")
                                          : QLatin1String("domains: ") +
                                                QStringList(domains.begin(), domains.end()).join(QLatin1String(", "));
    return !wanted.isEmpty() &&
           std::ranges::any_of(domains, [&](const QString& seen) { return domainKey(seen) == wanted; });
}

bool checkTunnel(const CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const std::vector<Gateway>& gateways = snapshot.context().evidence.gateways;
    const auto tunnel = std::ranges::find_if(gateways, &Gateway::tunnel);
    if (tunnel == gateways.end()) {
        evaluation.observed =
            gateways.empty() ? QStringLiteral("no default route") : QStringLiteral("no default route through a tunnel");
        return false;
    }
    evaluation.observed = QStringLiteral("%1 is a tunnel").arg(tunnel->name);
    return true;
}

bool checkPeripheral(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                     ConditionEvaluation& evaluation)
{
    const std::optional<QString> id = requiredArgument(condition, "id", "peripheral", evaluation);
    if (!id) {
        return false;
    }
    const std::vector<Peripheral>& peripherals = snapshot.context().evidence.peripherals;
    const auto found = std::ranges::find(peripherals, *id, &Peripheral::id);
    if (found == peripherals.end()) {
        evaluation.observed = QStringLiteral("not connected (%1 peripheral%2)")
                                  .arg(peripherals.size())
                                  .arg(peripherals.size() == 1 ? "" : "s");
        return false;
    }
    evaluation.observed = QLatin1String("connected: ") + (found->name.isEmpty() ? found->id : found->name);
    return true;
}

QCoro::Task<bool> checkPing(const FingerprintCondition& condition, RulesEngineProbes& probes, CheckSnapshot& snapshot,
                            ConditionEvaluation& evaluation)
{
    const std::optional<QString> address = requiredArgument(condition, "address", "ping", evaluation);
    if (!address) {
        co_return false;
    }
    try {
        const double seconds = co_await probes.ping(*address, RulesEngine::pingTimeoutSeconds, snapshot.cancellation());
        qCDebug(lcRulesEngine, "Ping completed in %fs", seconds);
        evaluation.observed = QStringLiteral("answered in %1 s").arg(seconds);
        co_return true;
    } catch (const std::exception& error) {
        qCDebug(lcRulesEngine, "Ping failed with error: %s", qUtf8Printable(describeException(error)));
        evaluation.observed = QStringLiteral("no answer: %1").arg(describeException(error));
    }
    co_return false;
}

QCoro::Task<bool> checkWebContent(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const std::optional<QString> urlText = condition.argument(u"url");
    const QUrl url = urlText ? QUrl(*urlText, QUrl::StrictMode) : QUrl();
    const std::optional<QString> pattern = condition.argument(u"match");
    if (!url.isValid() || !pattern) {
        qCCritical(lcRulesEngine, "Missing arguments for webContent task");
        evaluation.observed = QStringLiteral("missing or invalid argument url or match");
        co_return false;
    }
    qCDebug(lcRulesEngine, "Checking %s for %s", qUtf8Printable(*urlText), qUtf8Printable(*pattern));

    // Only web addresses are fetched: other schemes would read local files or devices.
    if (url.scheme() != u"http" && url.scheme() != u"https") {
        const QString error = describeCase(QStringLiteral("unsupportedURL"), *urlText);
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error));
        evaluation.observed = error;
        co_return false;
    }

    HttpResponse response;
    try {
        response = co_await probes.fetch(url, snapshot.cancellation());
    } catch (const URLLoadingError& failure) {
        const QString error = failure.description();
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error));
        evaluation.observed = QStringLiteral("request failed: %1").arg(error);
        co_return false;
    }
    if (!response.statusCode) {
        const QString description = describeResponse(response);
        qCInfo(lcRulesEngine, "%s", qUtf8Printable(description));
        evaluation.observed = QStringLiteral("not an HTTP response: %1").arg(description);
        co_return false;
    }
    const QByteArray& body = response.body;
    const int status = *response.statusCode;
    const std::optional<QString> text = decodeUtf8(body);
    if (!text) {
        qCInfo(lcRulesEngine, "%s", qUtf8Printable(describeResponse(response)));
        evaluation.observed = QStringLiteral("HTTP %1, %2 bytes received, not UTF-8").arg(status).arg(body.size());
        co_return false;
    }
    if (status >= 299) {
        qCDebug(lcRulesEngine, "HTTP response from %s was %ld", qUtf8Printable(*urlText), long(status));
        evaluation.observed = QStringLiteral("HTTP %1, %2 bytes received").arg(status).arg(body.size());
        co_return false;
    }
    // A pattern that does not compile or runs out of the check's time only makes the condition false.
    const auto patternFailed = [&](RulesEngineError::Case errorCase) {
        const RulesEngineError error(errorCase, *pattern);
        qCDebug(lcRulesEngine, "Caught error checking url %s", qUtf8Printable(error.description()));
        evaluation.observed =
            QStringLiteral("HTTP %1, %2 bytes received, %3").arg(status).arg(body.size()).arg(error.description());
    };
    std::optional<PatternMatcher> matcher = PatternMatcher::compile(*pattern);
    if (!matcher) {
        patternFailed(RulesEngineError::Case::invalidPattern);
        co_return false;
    }
    const std::optional<bool> result = snapshot.search(*matcher, *text);
    if (!result) {
        patternFailed(RulesEngineError::Case::patternTimedOut);
        co_return false;
    }
    qCDebug(lcRulesEngine, "Regex result is %s", *result ? "true" : "false");
    evaluation.observed = QStringLiteral("HTTP %1, %2 bytes received").arg(status).arg(body.size());
    co_return *result;
}

void checkConnectionPattern(const FingerprintCondition& condition)
{
    const std::optional<QString> hostport = condition.argument(u"hostport");
    const std::optional<QString> pattern = condition.argument(u"match");
    if (hostport && pattern && parseHostPort(*hostport) && !PatternMatcher::compile(*pattern)) {
        throw RulesEngineError(RulesEngineError::Case::invalidPattern, *pattern);
    }
}

QCoro::Task<bool> checkConnection(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation)
{
    const std::optional<QString> hostport = condition.argument(u"hostport");
    const std::optional<QString> pattern = condition.argument(u"match");
    if (!hostport || !pattern) {
        qCCritical(lcRulesEngine, "Missing arguments for connection task");
        evaluation.observed = QStringLiteral("missing argument hostport or match");
        co_return false;
    }
    const std::optional<std::pair<QString, quint16>> target = parseHostPort(*hostport);
    if (!target) {
        qCCritical(lcRulesEngine, "Invalid host format %s", qUtf8Printable(*hostport));
        evaluation.observed = QStringLiteral("not host:port");
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
        received = co_await probes.receive(host, port, snapshot.cancellation());
    } catch (const std::exception& error) {
        qCInfo(lcRulesEngine, "Caught error in async connection %s", qUtf8Printable(describeException(error)));
        evaluation.observed = QStringLiteral("connection failed: %1").arg(describeException(error));
        co_return false;
    }
    const std::optional<bool> result = snapshot.search(*matcher, decodeUtf8(received).value_or(QString()));
    if (!result) {
        const RulesEngineError error(RulesEngineError::Case::patternTimedOut, *pattern);
        qCInfo(lcRulesEngine, "Caught error in async connection %s", qUtf8Printable(error.description()));
        evaluation.observed = QStringLiteral("%1 bytes received, %2").arg(received.size()).arg(error.description());
        co_return false;
    }
    qCDebug(lcRulesEngine, "Regex result is %s", *result ? "true" : "false");
    evaluation.observed = QStringLiteral("%1 bytes received").arg(received.size());
    co_return *result;
}

} // namespace nerova
