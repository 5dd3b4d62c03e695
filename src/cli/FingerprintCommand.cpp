#include "cli/Command.h"
#include "cli/Commands.h"
#include "cli/CurrentNetwork.h"
#include "rules/FingerprintFileJson.h"
#include "rules/FingerprintSuggestion.h"

#include <QUuid>

namespace nerova {

namespace {

// `fingerprint suggest`: one fingerprint, in the served form, for the place the machine is at or
// where a snapshot was saved.
QCoro::Task<int> suggest(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral(
        "fingerprint suggest --name NAME --location-id ID [--level-id ID] [--zone-id ID] [--place-id ID] [--id ID] "
        "[--snapshot FILE | --no-public-ip | --public-ip-endpoint URL]");
    QCommandLineParser parser;
    const auto option = [&parser](const char* name, const char* description, const char* value) {
        const QCommandLineOption added{QString::fromLatin1(name), QString::fromLatin1(description),
                                       QString::fromLatin1(value)};
        parser.addOption(added);
        return added;
    };
    const QCommandLineOption name = option("name", "The fingerprint's name (required).", "NAME");
    const QCommandLineOption locationId = option("location-id", "The site it points to (required).", "ID");
    const QCommandLineOption levelId = option("level-id", "The level it points to.", "ID");
    const QCommandLineOption zoneId = option("zone-id", "The zone it points to.", "ID");
    const QCommandLineOption placeId =
        option("place-id", "The place (desk) it points to; adds the peripherals with a serial of their own.", "ID");
    const QCommandLineOption id = option("id", "The fingerprint's id instead of a new UUID.", "ID");
    const QCommandLineOption snapshot =
        option("snapshot", "Suggest for a saved snapshot (see 'nerova-agent snapshot --json').", "FILE");
    const PublicIpOptions publicIp(parser);
    if (const auto done = parseCommandArguments(parser, arguments, console, usage)) {
        co_return *done;
    }
    if (!parser.isSet(name) || parser.value(name).isEmpty() || !parser.isSet(locationId) ||
        parser.value(locationId).isEmpty()) {
        co_return usageError(console, QStringLiteral("fingerprint suggest needs --name and --location-id"), usage);
    }
    if (parser.isSet(snapshot) && publicIp.isSet(parser)) {
        co_return usageError(
            console, QStringLiteral("--no-public-ip and --public-ip-endpoint do not apply to a saved snapshot"), usage);
    }
    const auto optionalValue = [&parser](const QCommandLineOption& option) {
        return parser.isSet(option) ? std::optional(parser.value(option)) : std::nullopt;
    };
    const SuggestionTarget target{
        parser.isSet(id) ? parser.value(id) : QUuid::createUuid().toString(QUuid::WithoutBraces).toLower(),
        parser.value(name),
        {parser.value(locationId), optionalValue(levelId), optionalValue(zoneId), optionalValue(placeId)}};

    std::optional<QUrl> endpoint;
    if (!parser.isSet(snapshot)) {
        QString endpointError;
        endpoint = publicIp.endpoint(parser, endpointError);
        if (!endpointError.isEmpty()) {
            co_return usageError(console, endpointError, usage);
        }
    }
    const std::optional<QString> snapshotPath = optionalValue(snapshot);
    const std::optional<NetworkContext> context = co_await readSavedOrCurrentNetwork(snapshotPath, endpoint, console);
    if (!context) {
        co_return exitcode::usage;
    }
    const Fingerprint fingerprint = suggestFingerprint(*context, target);
    if (fingerprint.rules.empty()) {
        console.error() << "fingerprint suggest: the network holds nothing to tell this place by (no gateway, Wi-Fi "
                           "network, DNS domain, IPv4 address or external address)\n";
        co_return exitcode::failure;
    }
    console.out() << QString::fromStdString(encodeFingerprint(fingerprint).dump(2)) << '\n';
    co_return exitcode::success;
}

} // namespace

QCoro::Task<int> runFingerprintCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("fingerprint suggest ... (see 'nerova-agent fingerprint suggest --help')");
    const QString command = arguments.value(1);
    if (command == u"suggest") {
        arguments.removeAt(0); // "suggest" stands in for the command's name from here on
        co_return co_await suggest(std::move(arguments), console);
    }
    if (command == u"--help" || command == u"-h") {
        console.out() << "Usage: nerova-agent " << usage << '\n';
        co_return exitcode::success;
    }
    co_return usageError(console,
                         command.isEmpty() ? QStringLiteral("fingerprint needs a command: suggest")
                                           : QStringLiteral("unknown fingerprint command '%1'").arg(command),
                         usage);
}

} // namespace nerova
