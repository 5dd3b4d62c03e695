#pragma once

#include <QDateTime>

namespace nerova {

// The source of "now" for everything that looks at the time. Production code uses SystemClock;
// tests inject a clock they can move.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
};

// A clock that only moves when told to.
class ManualClock final : public Clock {
public:
    explicit ManualClock(QDateTime start) : now_(std::move(start)) {}
    QDateTime now() const override { return now_; }
    void set(QDateTime time) { now_ = std::move(time); }
    void advance(qint64 milliseconds) { now_ = now_.addMSecs(milliseconds); }

private:
    QDateTime now_;
};

// Whether `date` falls on the current day of the user's calendar: the local time zone as it is at
// the moment of the call, so a change of time zone while the agent runs is followed at once.
inline bool isToday(const QDateTime& date, const Clock& clock)
{
    return date.toLocalTime().date() == clock.now().toLocalTime().date();
}

} // namespace nerova
