#pragma once

#include "agent/LockEventSources.h"
#include "agent/LockState.h"

#include <QDateTime>
#include <QObject>

#include <memory>
#include <vector>

namespace nerova {

class Clock;

// Follows the session's screen lock and the user's first left click of each day. The lock state
// changes only on a lock or unlock signal (it starts unlocked); a click counts only while unlocked
// and only when no click was recorded yet on the current day of the local calendar.
class LockMonitor final : public QObject, public LockState {
    Q_OBJECT
    Q_PROPERTY(bool isScreenLocked READ isScreenLocked NOTIFY isScreenLockedChanged)
    Q_PROPERTY(QDateTime lastMouseClick READ lastMouseClick NOTIFY lastMouseClickChanged)

public:
    // Registers the lock observers at once and installs the click monitor from the event loop
    // shortly after. `clock` must outlive the monitor.
    LockMonitor(const Clock& clock, std::unique_ptr<LockEventSources> sources, QObject* parent = nullptr);
    ~LockMonitor() override;

    bool isScreenLocked() const override { return isScreenLocked_; }
    QDateTime lastMouseClick() const override { return lastMouseClick_; }
    void detach() override;

    // Whether a global click monitor is installed.
    bool hasMouseMonitor() const { return mouseMonitor_ != nullptr; }

    // The handlers of the lock signals and of every observed click.
    void screenLocked();
    void screenUnlocked();
    void recordMouseClick();

signals:
    void isScreenLockedChanged(bool isScreenLocked);
    void lastMouseClickChanged(const QDateTime& lastMouseClick);
    // Every lock or unlock signal, also those that change nothing.
    void lockSignalled(bool locked);
    // Every observed click, also those that the rule ignores.
    void mouseClickSeen();

private:
    void installMouseMonitor();

    const Clock& clock_;
    std::unique_ptr<LockEventSources> sources_;
    bool isScreenLocked_ = false;
    QDateTime lastMouseClick_ = distantPast();
    std::vector<std::unique_ptr<EventRegistration>> lockObservers_;
    std::unique_ptr<EventRegistration> mouseMonitor_;
    bool detached_ = false;
};

} // namespace nerova
