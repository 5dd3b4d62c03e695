#include "ui/TrayMenu.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "ui/SymbolIcon.h"

#include <QKeyEvent>

namespace nerova {

namespace {
constexpr const char* kindProperty = "nerovaRowKind";
}

TrayMenu::TrayMenu(Agent& agent, Actions actions, QWidget* parent)
    : QMenu(parent), agent_(agent), actions_(std::move(actions)), model_(agent)
{
    connect(&model_, &TrayMenuModel::changed, this, &TrayMenu::rebuild);
    // "allowQuit" is read at the moment of use, so the menu is built afresh each time it opens.
    connect(this, &QMenu::aboutToShow, this, &TrayMenu::rebuild);
    rebuild();
}

void TrayMenu::rebuild()
{
    // Later deletion: a command's own item may be the one still emitting `triggered`.
    for (QAction* item : actions()) {
        removeAction(item);
        item->deleteLater();
    }
    if (pauseMenu_) {
        pauseMenu_->deleteLater();
        pauseMenu_ = nullptr;
    }
    for (const TrayMenuRow& row : model_.rows()) {
        if (row.isPause() && !pauseMenu_) {
            pauseMenu_ = new QMenu(tr("Pause reporting"), this);
            addMenu(pauseMenu_);
        }
        QMenu* menu = row.isPause() ? pauseMenu_ : this;
        // Names come from the fingerprint file and the service: an "&" in them is text, not a mnemonic.
        QAction* item = menu->addAction(QString(row.text).replace(u'&', QStringLiteral("&&")));
        item->setProperty(kindProperty, int(row.kind));
        if (!row.symbol.isEmpty()) {
            item->setIcon(symbolIcon(row.symbol));
        }
        item->setEnabled(row.isCommand());
        if (row.isCommand()) {
            item->setShortcut(row.shortcut);
            const TrayMenuRow::Kind kind = row.kind;
            connect(item, &QAction::triggered, this, [this, kind] { trigger(kind); });
        }
        if (row.kind == TrayMenuRow::Kind::location) {
            addSeparator();
        }
    }
}

QAction* TrayMenu::action(TrayMenuRow::Kind kind) const
{
    QList<QAction*> items = actions();
    if (pauseMenu_) {
        items += pauseMenu_->actions();
    }
    for (QAction* item : items) {
        const QVariant value = item->property(kindProperty);
        if (value.isValid() && value.toInt() == int(kind)) {
            return item;
        }
    }
    return nullptr;
}

void TrayMenu::keyPressEvent(QKeyEvent* event)
{
    const QKeySequence pressed(event->keyCombination());
    for (QAction* item : actions()) {
        if (item->isEnabled() && !item->shortcut().isEmpty() &&
            item->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
            event->accept();
            close();
            item->trigger();
            return;
        }
    }
    QMenu::keyPressEvent(event);
}

void TrayMenu::trigger(TrayMenuRow::Kind kind)
{
    switch (kind) {
    case TrayMenuRow::Kind::showWindow: actions_.showWindow(); break;
    case TrayMenuRow::Kind::refresh: agent_.refresh(); break;
    case TrayMenuRow::Kind::pauseForAnHour: agent_.reportingPolicy().pauseFor(std::chrono::hours(1)); break;
    case TrayMenuRow::Kind::pauseUntilTomorrow: agent_.reportingPolicy().pauseUntilTomorrow(); break;
    case TrayMenuRow::Kind::resume: agent_.reportingPolicy().resume(); break;
    case TrayMenuRow::Kind::quit:
        agent_.stop();
        actions_.quit();
        break;
    default: break;
    }
}

} // namespace nerova
