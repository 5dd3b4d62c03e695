#include "agent/LockMonitor.h"
#include "agent/SystemMonitors.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "cli/CurrentNetwork.h"
#include "common/Clock.h"
#include "common/StopSignals.h"
#include "network/NetworkContextJson.h"

namespace nerova {

QCoro::Task<int> runWatchCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("watch [--no-public-ip | --public-ip-endpoint URL]");
    QCommandLineParser parser;
    const PublicIpArguments parsed = parsePublicIpArguments(parser, arguments, console, usage);
    if (parsed.done) {
        co_return *parsed.done;
    }
    const std::optional<QUrl> endpoint = parsed.endpoint;

    const SystemClock clock;
    LockMonitor lockMonitor(clock, makeSystemLockEventSources());
    QObject::connect(&lockMonitor, &LockMonitor::lockSignalled, [&console](bool locked) {
        console.err() << (locked ? "screen locked\n" : "screen unlocked\n");
        console.err().flush();
    });
    QObject::connect(&lockMonitor, &LockMonitor::mouseClickSeen, [&console] {
        console.err() << "activity\n";
        console.err().flush();
    });
    QObject::connect(&lockMonitor, &LockMonitor::lastMouseClickChanged, [&console](const QDateTime& time) {
        console.err() << "first activity of the day: " << time.toLocalTime().toString(Qt::ISODate) << '\n';
        console.err().flush();
    });

    const std::unique_ptr<NetworkContextSource> networkMonitor = makeSystemNetworkMonitor(endpoint);
    Channel<NetworkContext>& contexts = networkMonitor->networkContextSequence();
    // Ending the stream ends the loop below; nothing else is waiting on it.
    const StopSignals stop([&contexts] { contexts.finish(); });
    while (true) {
        std::optional<NetworkContext> context = co_await contexts.receive();
        if (!context) {
            break;
        }
        console.out() << QString::fromStdString(encodeNetworkContext(*context).dump()) << '\n';
        console.out().flush();
    }
    co_return exitcode::success;
}

} // namespace nerova
