#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QObject>

#include <functional>

namespace nerova {

class Settings;

// The desktop notification of the desktop agent's first launch for a user: it says that the agent
// reports the work location and where to see what it sends, and its action "Show details" opens
// the window on the Privacy tab. The user's setting "privacyNoticeShown" remembers that the
// notification server took it; until one did, every launch tries again.
class FirstLaunchNotice : public QObject {
    Q_OBJECT

public:
    static constexpr int callTimeoutMs = 5000;

    // `showDetails` runs when the user invokes the notification's action.
    FirstLaunchNotice(Settings& settings, QDBusConnection bus, std::function<void()> showDetails,
                      QObject* parent = nullptr);

    // Sends the notification unless the user has had it. Without a notification server it logs one
    // line and leaves the setting as it is.
    QCoro::Task<void> show();

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);

private:
    void listen(bool on);

    Settings& settings_;
    QDBusConnection bus_;
    std::function<void()> showDetails_;
    uint id_ = 0; // of the notification on screen; 0 when there is none
};

} // namespace nerova
