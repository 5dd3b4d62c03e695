#pragma once

#include "ui/FirstLaunchNotice.h"
#include "ui/LaunchSequence.h"
#include "ui/StatusWindow.h"
#include "ui/TrayMenu.h"

#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace nerova {

class Agent;

// The desktop agent: the agent's status window (created hidden), the tray icon with its menu,
// and the launch. Where no tray exists the window is shown at launch, so the user always has a
// way in.
class DesktopApplication : public QObject {
    Q_OBJECT

public:
    // `quit` ends the application (after the menu has stopped the agent).
    DesktopApplication(Agent& agent, std::function<void()> quit, QObject* parent = nullptr);
    ~DesktopApplication() override;

    // Starts the agent, puts up the tray icon when `trayAvailable`, and runs the launch sequence;
    // shows the window when there is no tray.
    QCoro::Task<void> launch(bool trayAvailable, KeyPairSource keys, LoginItem& loginItem);

    // The notice of the first launch for this user, on the session bus `bus`; its action shows the
    // window on the Privacy tab.
    QCoro::Task<void> showFirstLaunchNotice(QDBusConnection bus);

    // "Show window": shows the window when hidden, then raises it.
    void showWindow();

    StatusWindow& window() { return *window_; }
    TrayMenu& menu() { return *menu_; }
    // Absent until launch() found a tray.
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    // What the tray icon's tooltip says: the application and where the machine is.
    QString trayToolTip() const;

private:
    void updateTrayIcon();

    Agent& agent_;
    std::unique_ptr<StatusWindow> window_;
    std::unique_ptr<TrayMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<FirstLaunchNotice> notice_;
};

} // namespace nerova
