#include "cli/CurrentNetwork.h"

#include "cli/Command.h"
#include "common/Error.h"
#include "common/Settings.h"
#include "common/TerminalText.h"
#include "network/NetworkContextJson.h"
#include "service/FingerprintFileClient.h"
#include "service/PublicIPClient.h"

#include <QFile>

namespace nerova {

QCoro::Task<NetworkContext> readCurrentNetwork(const NetworkReader& reader, std::optional<QUrl> publicIpEndpoint,
                                               QTextStream& err)
{
    NetworkContext context{std::nullopt, readInterfaceAddresses(reader), std::nullopt,
                           reader.readInterfaces().value_or(std::vector<NetworkInterface>{})};
    QCoro::Task<LocationEvidence> evidence = reader.readEvidence(); // beside the lookup
    if (publicIpEndpoint) {
        const PublicIPClient client(*publicIpEndpoint);
        try {
            context.externalIPv4 = co_await client.fetchPublicIP();
            if (!context.externalIPv4) {
                err << "nerova-agent: the public IP lookup at " << publicIpEndpoint->toString() << " gave no address\n";
            }
        } catch (const std::exception& error) {
            err << "nerova-agent: the public IP lookup at " << publicIpEndpoint->toString()
                << " failed: " << printable(describeException(error)) << '\n';
        }
    }
    context.evidence = co_await std::move(evidence);
    co_return context;
}

std::optional<QByteArray> readInput(const QString& path, Console& console)
{
    constexpr qint64 cap = FingerprintFileClient::maxFileBytes;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        QByteArray bytes;
        while (bytes.size() <= cap) {
            const QByteArray chunk = file.read(cap + 1 - bytes.size());
            if (chunk.isEmpty()) {
                break;
            }
            bytes += chunk;
        }
        if (bytes.size() > cap) {
            console.error() << "cannot read " << path << ": larger than " << cap << " bytes\n";
            return std::nullopt;
        }
        if (file.error() == QFileDevice::NoError) {
            return bytes;
        }
    }
    console.error() << "cannot read " << path << ": " << file.errorString() << '\n';
    return std::nullopt;
}

std::optional<NetworkContext> readSavedSnapshot(const QString& path, Console& console)
{
    const std::optional<QByteArray> bytes = readInput(path, console);
    if (!bytes) {
        return std::nullopt;
    }
    try {
        return decodeNetworkContext(*bytes);
    } catch (const JsonDecodeError& error) {
        console.error() << path << ": " << printable(error.description()) << '\n';
    }
    return std::nullopt;
}

QCoro::Task<std::optional<NetworkContext>>
readSavedOrCurrentNetwork(std::optional<QString> snapshotPath, std::optional<QUrl> publicIpEndpoint, Console& console)
{
    if (snapshotPath) {
        co_return readSavedSnapshot(*snapshotPath, console);
    }
    const std::unique_ptr<NetworkReader> reader = makeSystemNetworkReader();
    NetworkContext context = co_await readCurrentNetwork(*reader, std::move(publicIpEndpoint), console.err());
    co_return context;
}

PublicIpOptions::PublicIpOptions(QCommandLineParser& parser)
    : skip_(QStringLiteral("no-public-ip"), QStringLiteral("Do not look up the public IP address.")),
      endpoint_(QStringLiteral("public-ip-endpoint"),
                QStringLiteral("Look the public IP address up at URL instead of the setting publicIpEndpoint "
                               "(default %1).")
                    .arg(PublicIPClient::defaultEndpoint().toString()),
                QStringLiteral("URL"))
{
    parser.addOptions({skip_, endpoint_});
}

bool PublicIpOptions::isSet(const QCommandLineParser& parser) const
{
    return parser.isSet(skip_) || parser.isSet(endpoint_);
}

std::optional<QUrl> PublicIpOptions::endpoint(const QCommandLineParser& parser, QString& error) const
{
    if (parser.isSet(skip_)) {
        if (parser.isSet(endpoint_)) {
            error = QStringLiteral("--no-public-ip and --public-ip-endpoint exclude each other");
        }
        return std::nullopt;
    }
    if (!parser.isSet(endpoint_)) {
        // Where the agent looks: the managed or the user's setting, else the default.
        const Settings settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory());
        const QString key = QString::fromLatin1(settingskey::publicIpEndpoint);
        const std::optional<QString> configured = settings.managedSetting(key);
        if (!configured) {
            return PublicIPClient::defaultEndpoint();
        }
        const QUrl url(*configured, QUrl::StrictMode);
        if (!isWebUrl(url)) {
            error = QStringLiteral("the setting %1 is not an http or https URL: \"%2\" (change it with 'nerova-agent "
                                   "config set', or give --public-ip-endpoint URL or --no-public-ip)")
                        .arg(key, printable(*configured));
            return std::nullopt;
        }
        return url;
    }
    const QUrl url(parser.value(endpoint_), QUrl::StrictMode);
    if (!isWebUrl(url)) {
        error =
            QStringLiteral("--public-ip-endpoint needs an http or https URL, not \"%1\"").arg(parser.value(endpoint_));
        return std::nullopt;
    }
    return url;
}

PublicIpArguments parsePublicIpArguments(QCommandLineParser& parser, const QStringList& arguments, Console& console,
                                         const QString& usage)
{
    const PublicIpOptions publicIp(parser);
    PublicIpArguments parsed;
    parsed.done = parseCommandArguments(parser, arguments, console, usage);
    if (parsed.done) {
        return parsed;
    }
    QString error;
    parsed.endpoint = publicIp.endpoint(parser, error);
    if (!error.isEmpty()) {
        parsed.done = usageError(console, error, usage);
    }
    return parsed;
}

} // namespace nerova
