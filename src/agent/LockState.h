#pragma once

#include <QDateTime>

namespace nerova {

// What the presence logic reads of the lock and activity monitor. The lock monitor implements it;
// scenario tests of the agent use a stand-in whose answers they set.
class LockState {
public:
    virtual ~LockState() = default;

    // True between a screen-locked and a screen-unlocked signal.
    virtual bool isScreenLocked() const = 0;
    // The first click of the current day seen while unlocked; distantPast() until the first one.
    virtual QDateTime lastMouseClick() const = 0;
    // Stops listening to every lock and click source (the agent's stop).
    virtual void detach() = 0;

    // The date before every real one that stands for "no click seen since start".
    static QDateTime distantPast() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC); }
};

} // namespace nerova
