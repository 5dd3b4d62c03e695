#include "ui/DesktopApplication.h"

#include "agent/Agent.h"
#include "ui/SymbolIcon.h"

#include <QCoreApplication>
#include <QShortcut>

namespace nerova {

DesktopApplication::DesktopApplication(Agent& agent, std::function<void()> quit, QObject* parent)
    : QObject(parent), agent_(agent), window_(std::make_unique<StatusWindow>(agent))
{
    menu_ = std::make_unique<TrayMenu>(agent, TrayMenu::Actions{[this] { showWindow(); }, std::move(quit)});
    connect(&agent, &Agent::fingerprintChanged, this, &DesktopApplication::updateTrayIcon);
    // The window answers the menu's shortcut for quitting too, where the menu offers it.
    auto* quitKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window_.get());
    connect(quitKey, &QShortcut::activated, this, [this] {
        if (menu_->model().allowQuit()) {
            menu_->trigger(TrayMenuRow::Kind::quit);
        }
    });
}

DesktopApplication::~DesktopApplication() = default;

QCoro::Task<void> DesktopApplication::launch(bool trayAvailable, KeyPairSource keys, LoginItem& loginItem)
{
    // The agent does not depend on the window: it starts here, once, whether the window shows or not.
    agent_.start();
    if (trayAvailable) {
        tray_ = std::make_unique<QSystemTrayIcon>();
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

QString DesktopApplication::trayToolTip() const
{
    if (const std::optional<Fingerprint>& fingerprint = agent_.fingerprint()) {
        return QCoreApplication::translate("nerova::DesktopApplication", "Nerova Agent: %1").arg(fingerprint->name);
    }
    return QCoreApplication::translate("nerova::DesktopApplication", "Nerova Agent: no location");
}

void DesktopApplication::updateTrayIcon()
{
    if (tray_) {
        tray_->setIcon(nerova::trayIcon(agent_.fingerprint().has_value()));
        tray_->setToolTip(trayToolTip());
    }
}

} // namespace nerova
