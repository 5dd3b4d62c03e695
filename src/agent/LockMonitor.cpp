#include "agent/LockMonitor.h"

#include "agent/LockMonitorLogging.h"
#include "common/Clock.h"

#include <QTimer>

namespace nerova {

Q_LOGGING_CATEGORY(lcLockMonitor, "nerova.LockMonitor", QtInfoMsg)

LockMonitor::LockMonitor(const Clock& clock, std::unique_ptr<LockEventSources> sources, QObject* parent)
    : QObject(parent), clock_(clock), sources_(std::move(sources))
{
    lockObservers_ = sources_->addLockObservers([this] { screenLocked(); }, [this] { screenUnlocked(); });
    QTimer::singleShot(0, this, &LockMonitor::installMouseMonitor);
}

LockMonitor::~LockMonitor() { detach(); }

void LockMonitor::detach()
{
    detached_ = true;
    lockObservers_.clear();
    mouseMonitor_.reset();
}

void LockMonitor::installMouseMonitor()
{
    if (detached_) {
        return;
    }
    QString whyNot;
    mouseMonitor_ = sources_->addGlobalClickMonitor([this] { recordMouseClick(); }, whyNot);
    if (!mouseMonitor_) {
        qCWarning(lcLockMonitor, "No global mouse monitor, the first click of the day is never seen: %s",
                  qUtf8Printable(whyNot));
    }
}

void LockMonitor::screenLocked()
{
    qCDebug(lcLockMonitor, "Screen locked");
    emit lockSignalled(true);
    if (!isScreenLocked_) {
        isScreenLocked_ = true;
        emit isScreenLockedChanged(true);
    }
}

void LockMonitor::screenUnlocked()
{
    qCDebug(lcLockMonitor, "Screen unlocked");
    emit lockSignalled(false);
    if (isScreenLocked_) {
        isScreenLocked_ = false;
        emit isScreenLockedChanged(false);
    }
}

void LockMonitor::recordMouseClick()
{
    emit mouseClickSeen();
    if (isScreenLocked_ || isToday(lastMouseClick_, clock_)) {
        return;
    }
    lastMouseClick_ = clock_.now();
    qCDebug(lcLockMonitor, "Mouse click detected - %s", qUtf8Printable(lastMouseClick_.toString(Qt::ISODate)));
    emit lastMouseClickChanged(lastMouseClick_);
}

} // namespace nerova
