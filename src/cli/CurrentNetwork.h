#pragma once

#include "network/NetworkContext.h"
#include "network/NetworkReader.h"

#include <QCommandLineParser>
#include <QCoro/QCoroTask>
#include <QTextStream>
#include <QUrl>

#include <optional>

namespace nerova {

// One snapshot of the network as it is now: the interfaces, the filtered addresses and, when
// `publicIpEndpoint` is given, the public address looked up there. A lookup that fails or gives
// no address leaves `externalIPv4` absent and says so on `err`.
QCoro::Task<NetworkContext> readCurrentNetwork(const NetworkReader& reader, std::optional<QUrl> publicIpEndpoint,
                                               QTextStream& err);

// The options --no-public-ip and --public-ip-endpoint URL of the commands that read the network.
class PublicIpOptions {
public:
    explicit PublicIpOptions(QCommandLineParser& parser);

    bool isSet(const QCommandLineParser& parser) const;
    // After parsing: where to look the public address up, as the agent does: the URL given, else
    // the setting "publicIpEndpoint" (managed or the user's), else the default; nothing with
    // --no-public-ip. A bad choice (both options, or a URL given or set that is not http or https)
    // yields nothing and sets `error`.
    std::optional<QUrl> endpoint(const QCommandLineParser& parser, QString& error) const;

private:
    QCommandLineOption skip_;
    QCommandLineOption endpoint_;
};

class Console;

// The whole content of `path` (a pipe too), or nothing after reporting why it cannot be read.
// Input beyond the size cap of a served fingerprint file is refused instead of read on for ever.
std::optional<QByteArray> readInput(const QString& path, Console& console);

// The snapshot saved at `path` (the `snapshot --json` form), or nothing after saying why it cannot
// be read or decoded.
std::optional<NetworkContext> readSavedSnapshot(const QString& path, Console& console);

// The snapshot saved at `snapshotPath` when one is given, else the network now (with the public
// address looked up at `publicIpEndpoint`, when given); nothing after saying why a saved snapshot
// cannot be read.
QCoro::Task<std::optional<NetworkContext>>
readSavedOrCurrentNetwork(std::optional<QString> snapshotPath, std::optional<QUrl> publicIpEndpoint, Console& console);

// What parsing a command with the public-IP options gave: the exit code when the command is done
// (help shown, or a usage error written), else where to look the public address up.
struct PublicIpArguments {
    std::optional<int> done;
    std::optional<QUrl> endpoint; // nothing: no lookup
};

// Adds the public-IP options to `parser` (which holds the command's other options), parses
// `arguments`, and resolves the endpoint; `usage` is the command's usage line.
PublicIpArguments parsePublicIpArguments(QCommandLineParser& parser, const QStringList& arguments, Console& console,
                                         const QString& usage);

} // namespace nerova
