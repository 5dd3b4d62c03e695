#pragma once

#include "ui/TrayMenuModel.h"

#include <QMenu>

#include <functional>

namespace nerova {

// The tray icon's menu, rebuilt from its model whenever the model changes and each time it opens.
// The information rows are disabled items; the commands act on the agent and the window.
class TrayMenu : public QMenu {
    Q_OBJECT

public:
    struct Actions {
        std::function<void()> showWindow;
        std::function<void()> quit; // ends the application, after the agent has stopped
    };

    TrayMenu(Agent& agent, Actions actions, QWidget* parent = nullptr);

    TrayMenuModel& model() { return model_; }
    // The menu item of the row of `kind` (in the pause submenu too); nullptr when the menu does not show it.
    QAction* action(TrayMenuRow::Kind kind) const;
    // Carries out the command of `kind`, as its menu item does.
    void trigger(TrayMenuRow::Kind kind);

protected:
    // The shortcuts the items show work while the menu is open (a popup menu that belongs to no
    // window gets no shortcut events of its own).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void rebuild();

    Agent& agent_;
    Actions actions_;
    TrayMenuModel model_;
    QMenu* pauseMenu_ = nullptr; // "Pause reporting", while the menu offers it
};

} // namespace nerova
