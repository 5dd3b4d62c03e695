#pragma once

#include <QObject>
#include <QString>

namespace nerova {

// The holder of facts about the user; the agent owns the one instance and the views read it
// through the agent. It has no fields yet.
class UserState : public QObject {
    Q_OBJECT

public:
    explicit UserState(QObject* parent = nullptr) : QObject(parent) {}
};

// The short login name of the account the agent runs for; "unknown" when it cannot be found.
QString loginName();

} // namespace nerova
