#include "ui/DesktopApplication.h"

#include "agent/Agent.h"
#include "ui/SymbolIcon.h"

namespace nerova {

DesktopApplication::DesktopApplication(Agent& agent, std::function<void()> quit, QObject* parent)
    : QObject(parent), agent_(agent), window_(std::make_unique<StatusWindow>(agent))
{
    menu_ = std::make_unique<TrayMenu>(agent, TrayMenu::Actions{[this] { showWindow(); }, std::move(quit)});
    connect(&agent, &Agent::fingerprintChanged, this, &DesktopApplication::updateTrayIcon);
}

DesktopApplication::~DesktopApplication() = default;

QCoro::Task<void> DesktopApplication::launch(bool trayAvailable, KeyPairSource keys, LoginItem& loginItem)
{
    // The agent does not depend on the window: it starts here, once, whether the window shows or not.
    agent_.start();
    if (trayAvailable) {
        tray_ = std::make_unique<QSystemTrayIcon>();
        tray_->setToolTip(QStringLiteral("Nerova Agent"));
        tray_->setContextMenu(menu_.get());
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                showWindow();
            }
        });
        updateTrayIcon();
        tray_->show();
    }
    QCoro::Task<void> sequence = runLaunchSequence(*window_, std::move(keys), loginItem);
    if (!trayAvailable) {
        showWindow();
    }
    co_await sequence;
}

QCoro::Task<void> DesktopApplication::showFirstLaunchNotice(QDBusConnection bus)
{
    notice_ = std::make_unique<FirstLaunchNotice>(agent_.settings(), std::move(bus),
                                                  [this] { window_->present(StatusWindow::privacyTab); });
    return notice_->show();
}

void DesktopApplication::showWindow() { window_->present(); }

void DesktopApplication::updateTrayIcon()
{
    if (tray_) {
        tray_->setIcon(nerova::trayIcon(agent_.fingerprint().has_value()));
    }
}

} // namespace nerova
