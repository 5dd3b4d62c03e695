#pragma once

#include "agent/ReportingHours.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "rules/FingerprintFile.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

namespace nerova {

// How much of the matched location a presence report carries: the location alone, down to its
// level, its zone, or its place (all of it).
enum class ReportPrecision { location, level, zone, place };

// "location", "level", "zone" or "place"; nothing for any other text.
std::optional<ReportPrecision> parseReportPrecision(QStringView text);
// `point` without the parts finer than `precision`.
LocationPoint cappedLocationPoint(LocationPoint point, ReportPrecision precision);

// When the agent may evaluate and report, and how precisely it reports, from the administrator's
// keys "reportingHours", "allowPause" and "reportPrecision" and the user's pause. The keys are read
// at the moment of use; a value that cannot be used is logged once (until a policy file changes):
// unusable hours count as none set, an unusable precision as "location". The pause is kept in
// memory only: a restarted agent reports again.
//
// `state` is the one seen by the last update(): the agent calls update() before each evaluation
// and at each of its daily-check ticks (so a change of time zone or policy is followed), and a
// timer calls it at the next boundary of the hours or end of the pause.
class ReportingPolicy : public QObject {
    Q_OBJECT

public:
    enum class State { reporting, outsideHours, paused };

    static constexpr const char* outsideHoursNotice = "Outside reporting hours";
    // The longest pause one request may ask for.
    static constexpr std::chrono::minutes longestPause{24 * 60};

    // `settings` and `clock` must outlive the policy.
    ReportingPolicy(const Settings& settings, const Clock& clock, QObject* parent = nullptr);

    State state() const { return state_; }
    bool isReporting() const { return state_ == State::reporting; }
    // What stands in for the location while the agent does not report; empty while it does.
    QString notice() const;
    // The end of the pause; invalid when not paused.
    QDateTime pausedUntil() const { return pausedUntil_; }

    // The managed flag "allowPause".
    bool pauseAllowed() const;
    // Pauses the reports for `duration` (1 minute .. longestPause), or until the next local
    // midnight. Each answers why it is refused, or nothing when the agent pauses.
    std::optional<QString> pauseFor(std::chrono::minutes duration);
    std::optional<QString> pauseUntilTomorrow();
    // Ends the pause, if any.
    void resume();

    // The managed "reportPrecision" ("place" when not set).
    ReportPrecision precision() const;
    // The managed "reportingHours"; nothing when not set or unusable.
    std::optional<ReportingHours> hours() const;

    // Looks at the hours, the pause and the keys again; tells whether the state changed (and then
    // has signalled it).
    bool update();

signals:
    // The state moved from `previous` to the current one.
    void stateChanged(nerova::ReportingPolicy::State previous);
    // The state or the end of the pause changed.
    void changed();

private:
    std::optional<QString> pauseUntil(QDateTime until);
    // Sets the timer to the next boundary of `hours` or the end of the pause.
    void armTimer(const std::optional<ReportingHours>& hours);

    const Settings& settings_;
    const Clock& clock_;
    State state_ = State::reporting;
    QDateTime pausedUntil_;
    QTimer boundary_;
};

} // namespace nerova
