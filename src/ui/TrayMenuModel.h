#pragma once

#include <QKeySequence>
#include <QObject>
#include <QString>

#include <vector>

namespace nerova {

class Agent;

// One row of the tray menu.
struct TrayMenuRow {
    enum class Kind {
        message,
        user,
        location,
        showWindow,
        refresh,
        pauseForAnHour,
        pauseUntilTomorrow,
        resume,
        quit,
        version
    };
    Kind kind;
    QString symbol; // empty for the command rows
    QString text;
    QKeySequence shortcut;

    bool isCommand() const
    {
        return kind != Kind::message && kind != Kind::user && kind != Kind::location && kind != Kind::version;
    }
    // The two pause commands sit in the submenu "Pause reporting".
    bool isPause() const { return kind == Kind::pauseForAnHour || kind == Kind::pauseUntilTomorrow; }
};

// What the tray menu shows, from the agent's state and the settings at the moment of asking;
// `changed` tells the menu to rebuild when an observed field of the agent changes.
class TrayMenuModel : public QObject {
    Q_OBJECT

public:
    explicit TrayMenuModel(Agent& agent, QObject* parent = nullptr);

    std::vector<TrayMenuRow> rows() const;
    // The setting "allowQuit" (false when absent).
    bool allowQuit() const;

signals:
    void changed();

private:
    Agent& agent_;
};

} // namespace nerova
