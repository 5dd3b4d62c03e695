// Roaming between access points changes no address: the network monitor learns of it from
// NetworkManager's change of a Wi-Fi device's active access point. Here a stand-in owns
// NetworkManager's name on a private bus and announces a new access point N times (--changes,
// default 5); the time from the announcement to the monitor's context, with the real 5-second quiet
// period. Goal: within the quiet period plus 300 ms.
#include "EventLoopWaits.h"
#include "Goals.h"
#include "network/NetworkMonitor.h"
#include "platform/linux/WirelessReader_linux.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>

using namespace nerova;
using namespace nerova::bench;

namespace {

// A machine with one wired interface: the Wi-Fi side is all in the stand-in.
class FixedReader final : public NetworkReader {
public:
    std::optional<std::vector<NetworkInterface>> readInterfaces() const override
    {
        return std::vector<NetworkInterface>{{QStringLiteral("wlan0"), QStringLiteral("02:00:00:00:00:01")}};
    }
    std::vector<NetworkAddress> readAllAddresses() const override { return {}; }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int changes = 5;
    const QStringList arguments = QCoreApplication::arguments();
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--changes")); at > 0 && at + 1 < arguments.size()) {
        changes = std::max(1, arguments.at(at + 1).toInt());
    }
    qputenv("QT_LOGGING_RULES", "nerova.*.debug=false");
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!daemon.waitForReadyRead(10'000)) {
        std::printf("access point change: skipped, dbus-daemon did not start\n");
        return skippedStatus;
    }
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    QDBusConnection standIn = QDBusConnection::connectToBus(address, QStringLiteral("stand-in"));
    const QDBusConnection agent = QDBusConnection::connectToBus(address, QStringLiteral("agent"));
    if (!standIn.registerService(QStringLiteral("org.freedesktop.NetworkManager"))) {
        std::printf("access point change: FAILED, the stand-in cannot own NetworkManager's name\n");
        return 1;
    }

    const auto sources = [&agent](NetworkChangeSource::Trigger trigger) {
        std::vector<std::unique_ptr<NetworkChangeSource>> list;
        list.push_back(makeWirelessChangeSource(std::move(trigger), agent));
        return list;
    };
    int contexts = 0;
    NetworkMonitor monitor(std::make_unique<FixedReader>(), nullptr, sources);
    const auto receive = [&monitor, &contexts]() -> QCoro::Task<> {
        while (co_await monitor.networkContextSequence().receive()) {
            ++contexts;
        }
    };
    receive();
    if (!runUntil([&contexts] { return contexts == 1; }, 15'000)) {
        std::printf("access point change: FAILED, no first context\n");
        return 1;
    }

    std::vector<double> latencies;
    for (int i = 0; i < changes; ++i) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/NetworkManager/Devices/3"),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("PropertiesChanged"));
        const QString accessPoint = QStringLiteral("/org/freedesktop/NetworkManager/AccessPoint/%1").arg(i + 10);
        signal << QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless")
               << QVariantMap{{QStringLiteral("ActiveAccessPoint"), QVariant::fromValue(QDBusObjectPath(accessPoint))}}
               << QStringList();
        const int before = contexts;
        QElapsedTimer timer;
        timer.start();
        standIn.send(signal);
        if (!runUntil([&contexts, before] { return contexts > before; }, 15'000, 1)) {
            std::printf("access point change: FAILED, no context after change %d\n", i + 1);
            return 1;
        }
        latencies.push_back(double(timer.nsecsElapsed()) / 1e9);
        runEventLoopFor(200);
    }
    std::sort(latencies.begin(), latencies.end());
    const double goal = double(NetworkMonitor::defaultDebounce.count()) / 1000 + 0.3;
    std::printf("access point change to context, %d changes: median %.3f s, most %.3f s (goal: under %.1f s)\n",
                changes, latencies[latencies.size() / 2], latencies.back(), goal);
    Goals goals;
    goals.check(latencies.back() < goal, "access point change: every context within the quiet period + 300 ms");
    monitor.networkContextSequence().finish();
    QDBusConnection::disconnectFromBus(QStringLiteral("stand-in"));
    QDBusConnection::disconnectFromBus(QStringLiteral("agent"));
    daemon.terminate();
    daemon.waitForFinished(5'000);
    return goals.exitCode();
}
