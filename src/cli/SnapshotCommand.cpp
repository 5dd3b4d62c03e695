#include "cli/Command.h"
#include "cli/Commands.h"
#include "cli/CurrentNetwork.h"
#include "common/TerminalText.h"
#include "network/NetworkContextJson.h"

namespace nerova {

QCoro::Task<int> runSnapshotCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("snapshot [--json] [--no-public-ip | --public-ip-endpoint URL]");
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the snapshot as JSON."));
    parser.addOption(json);
    const PublicIpArguments parsed = parsePublicIpArguments(parser, arguments, console, usage);
    if (parsed.done) {
        co_return *parsed.done;
    }
    const std::optional<QUrl> endpoint = parsed.endpoint;

    const std::unique_ptr<NetworkReader> reader = makeSystemNetworkReader();
    const NetworkContext context = co_await readCurrentNetwork(*reader, endpoint, console.err());
    if (parser.isSet(json)) {
        console.out() << QString::fromStdString(encodeNetworkContext(context).dump(2)) << '\n';
        co_return exitcode::success;
    }
    console.out() << "External IPv4: " << printable(context.externalIPv4.value_or(QStringLiteral("none"))) << '\n'
                  << "Interfaces:\n";
    for (const NetworkInterface& networkInterface : context.networkInterfaces) {
        console.out() << "  " << printable(networkInterface.name) << "  " << printable(networkInterface.hardwareAddress)
                      << '\n';
    }
    console.out() << "Addresses:\n";
    for (const NetworkAddress& address : context.internalAddresses) {
        console.out() << "  " << rawValue(address.type) << "  " << printable(address.name) << "  "
                      << printable(address.address);
        if (address.prefixLength) {
            console.out() << '/' << *address.prefixLength;
        }
        console.out() << '\n';
    }
    const LocationEvidence& evidence = context.evidence;
    console.out() << "Gateways:\n";
    for (const Gateway& gateway : evidence.gateways) {
        console.out() << "  " << printable(gateway.name) << "  "
                      << printable(gateway.address.value_or(QStringLiteral("none"))) << "  "
                      << (gateway.tunnel ? QStringLiteral("tunnel")
                                         : printable(gateway.hardwareAddress.value_or(QStringLiteral("unknown"))))
                      << '\n';
    }
    console.out() << "Wi-Fi:\n";
    for (const WirelessNetwork& network : evidence.wirelessNetworks) {
        console.out() << "  " << printable(network.name) << "  \"" << printable(network.ssid) << "\"  "
                      << printable(network.bssid) << '\n';
    }
    console.out() << "DNS domains:\n";
    for (const QString& domain : evidence.dnsDomains) {
        console.out() << "  " << printable(domain) << '\n';
    }
    console.out() << "Peripherals:\n";
    for (const Peripheral& peripheral : evidence.peripherals) {
        console.out() << "  " << printable(peripheral.id) << "  " << printable(peripheral.name)
                      << (peripheral.uniqueSerial ? "" : "  (model only, no serial)") << '\n';
    }
    co_return exitcode::success;
}

} // namespace nerova
