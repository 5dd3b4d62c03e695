#include "network/NetworkMonitorLogging.h"
#include "platform/linux/SystemSources_linux.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>

namespace nerova {

namespace {

// logind announces suspend with PrepareForSleep(true) and the wake-up with PrepareForSleep(false).
class ResumeChangeSource final : public QObject, public NetworkChangeSource {
    Q_OBJECT

public:
    explicit ResumeChangeSource(Trigger trigger) : trigger_(std::move(trigger)) {}

    bool connectTo(QDBusConnection bus)
    {
        return bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                           SLOT(prepareForSleep(bool)));
    }

private slots:
    void prepareForSleep(bool goingToSleep)
    {
        if (!goingToSleep) {
            trigger_();
        }
    }

private:
    Trigger trigger_;
};

} // namespace

std::unique_ptr<NetworkChangeSource> makeResumeChangeSource(NetworkChangeSource::Trigger trigger)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    auto source = std::make_unique<ResumeChangeSource>(std::move(trigger));
    if (!bus.isConnected() || !source->connectTo(bus)) {
        qCWarning(lcNetworkMonitor, "Cannot follow suspend and resume on the system bus: %s",
                  qUtf8Printable(bus.lastError().message()));
        return nullptr;
    }
    return source;
}

} // namespace nerova

#include "ResumeChangeSource_linux.moc"
