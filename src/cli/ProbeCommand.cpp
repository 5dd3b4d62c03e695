#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/Channel.h"
#include "common/Error.h"
#include "network/AsyncConnection.h"
#include "network/PingError.h"
#include "network/SimplePinger.h"

#include <cmath>
#include <optional>

namespace nerova {

namespace {

struct Endpoint {
    QString host;
    quint16 port = 0;
};

// "host:port", or "[IPv6 address]:port".
std::optional<Endpoint> parseEndpoint(const QString& text, QString& problem)
{
    QString host;
    QString portText;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || text.mid(close + 1, 1) != u":") {
            problem = QStringLiteral("expected [ADDRESS]:PORT, got \"%1\"").arg(text);
            return std::nullopt;
        }
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else {
        const qsizetype colon = text.indexOf(u':');
        if (colon < 0 || text.indexOf(u':', colon + 1) >= 0) {
            problem = QStringLiteral("expected HOST:PORT (IPv6 addresses in brackets), got \"%1\"").arg(text);
            return std::nullopt;
        }
        host = text.left(colon);
        portText = text.mid(colon + 1);
    }
    bool numeric = !portText.isEmpty();
    for (const QChar c : portText) {
        numeric = numeric && c >= u'0' && c <= u'9';
    }
    const uint port = numeric ? portText.toUInt(&numeric) : 0;
    if (host.isEmpty()) {
        problem = QStringLiteral("no host in \"%1\"").arg(text);
        return std::nullopt;
    }
    if (!numeric || port == 0 || port > 65535) {
        problem = QStringLiteral("the port must be a number from 1 to 65535, got \"%1\"").arg(portText);
        return std::nullopt;
    }
    return Endpoint{host, quint16(port)};
}

// Bytes as readable text: printable ASCII as it is, everything else escaped.
QString escapeBytes(const QByteArray& bytes)
{
    QString text;
    for (const char byte : bytes) {
        switch (byte) {
        case '\\': text += QLatin1String("\\\\"); break;
        case '"': text += QLatin1String("\\\""); break;
        case '\n': text += QLatin1String("\\n"); break;
        case '\r': text += QLatin1String("\\r"); break;
        case '\t': text += QLatin1String("\\t"); break;
        default:
            if (byte >= 0x20 && byte < 0x7f) {
                text += QLatin1Char(byte);
            } else {
                text += QStringLiteral("\\x%1").arg(uint(quint8(byte)), 2, 16, QLatin1Char('0'));
            }
        }
    }
    return text;
}

QCoro::Task<int> runPing(const QString& host, double timeout, Console& console)
{
    SimplePinger pinger;
    try {
        const double seconds = co_await pinger.ping(host, timeout);
        console.out() << "reply from " << host << " in " << QString::number(seconds * 1000.0, 'f', 3) << " ms\n";
        co_return exitcode::success;
    } catch (const PingError& error) {
        console.error() << "ping " << host << ": " << error.description() << '\n';
    }
    co_return exitcode::failure;
}

QCoro::Task<int> runTcp(const Endpoint& endpoint, Console& console)
{
    const QString target = QStringLiteral("%1:%2").arg(endpoint.host).arg(endpoint.port);
    AsyncConnection connection(endpoint.host, endpoint.port);
    const auto stream = std::make_shared<Channel<QByteArray>>();
    connection.connect(stream);
    try {
        while (const std::optional<QByteArray> chunk = co_await stream->receive()) {
            console.out() << "received " << chunk->size() << " bytes: \"" << escapeBytes(*chunk) << "\"\n";
        }
        console.out() << "stream from " << target << " ended normally\n";
        co_return exitcode::success;
    } catch (const std::exception& error) {
        console.error() << "tcp " << target << ": stream ended with error " << describeException(error) << '\n';
    }
    co_return exitcode::failure;
}

} // namespace

QCoro::Task<int> runProbeCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("probe ping HOST [--timeout SECONDS] | probe tcp HOST:PORT");
    QCommandLineParser parser;
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Seconds to wait for the echo reply (default 2)."),
                                           QStringLiteral("SECONDS"));
    parser.addOption(timeoutOption);
    if (const auto done = parseCommandArguments(parser, arguments, console, usage, 2)) {
        co_return *done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2 || (positional[0] != u"ping" && positional[0] != u"tcp")) {
        co_return usageError(console, QStringLiteral("probe: expected 'ping HOST' or 'tcp HOST:PORT'"), usage);
    }
    if (positional[0] == u"ping") {
        double timeout = 2.0;
        if (parser.isSet(timeoutOption)) {
            bool ok = false;
            timeout = parser.value(timeoutOption).toDouble(&ok);
            if (!ok || !std::isfinite(timeout) || timeout <= 0) {
                co_return usageError(console,
                                     QStringLiteral("probe: --timeout needs a positive number of seconds, got \"%1\"")
                                         .arg(parser.value(timeoutOption)),
                                     usage);
            }
        }
        co_return co_await runPing(positional[1], timeout, console);
    }
    if (parser.isSet(timeoutOption)) {
        co_return usageError(console, QStringLiteral("probe: --timeout applies to ping only; the TCP window is fixed"),
                             usage);
    }
    QString problem;
    const std::optional<Endpoint> endpoint = parseEndpoint(positional[1], problem);
    if (!endpoint) {
        co_return usageError(console, QStringLiteral("probe: ") + problem, usage);
    }
    co_return co_await runTcp(*endpoint, console);
}

} // namespace nerova
