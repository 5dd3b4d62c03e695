#include "agent/ReportingHours.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace nerova {

namespace {

constexpr int minutesPerDay = 24 * 60;
constexpr std::array dayNames{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// 1 (Monday) .. 7 (Sunday); 0 for a text that names no day.
int dayNumber(QStringView name)
{
    for (std::size_t i = 0; i < dayNames.size(); ++i) {
        if (name.compare(QLatin1String(dayNames[i]), Qt::CaseInsensitive) == 0) {
            return int(i) + 1;
        }
    }
    return 0;
}

// Minutes since midnight of "HH:MM" (00:00 .. 24:00); -1 for anything else.
int minutesOf(QStringView hours, QStringView minutes)
{
    const int h = hours.toInt();
    const int m = minutes.toInt();
    if (h > 24 || m > 59 || (h == 24 && m != 0)) {
        return -1;
    }
    return h * 60 + m;
}

// The local date and time of `date` at `minutes` after its midnight (1440: the next midnight).
// A time that a change of the clocks skips (in some zones midnight itself) is the first moment after
// the gap.
QDateTime localAt(QDate date, int minutes)
{
    if (minutes % minutesPerDay == 0) {
        return date.addDays(minutes / minutesPerDay).startOfDay();
    }
    for (int minute = minutes; minute < minutesPerDay; ++minute) {
        const QDateTime at(date, QTime(minute / 60, minute % 60));
        if (at.isValid()) {
            return at;
        }
    }
    return date.addDays(1).startOfDay();
}

} // namespace

bool ReportingHours::Range::hasDay(int day) const
{
    return firstDay <= lastDay ? day >= firstDay && day <= lastDay : day >= firstDay || day <= lastDay;
}

std::variant<ReportingHours, QString> ReportingHours::parse(QStringView text)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^([A-Za-z]+)(?:-([A-Za-z]+))?\s+(\d{1,2}):(\d{2})-(\d{1,2}):(\d{2})$)"));
    ReportingHours hours;
    for (QStringView part : text.split(u',')) {
        part = part.trimmed();
        const QRegularExpressionMatch match = form.match(part);
        if (!match.hasMatch()) {
            return QStringLiteral("\"%1\" is not of the form DAYS HH:MM-HH:MM").arg(part);
        }
        Range range{dayNumber(match.capturedView(1)), 0, minutesOf(match.capturedView(3), match.capturedView(4)),
                    minutesOf(match.capturedView(5), match.capturedView(6))};
        range.lastDay = match.capturedView(2).isEmpty() ? range.firstDay : dayNumber(match.capturedView(2));
        if (range.firstDay == 0 || range.lastDay == 0) {
            return QStringLiteral("\"%1\": days are Mon, Tue, Wed, Thu, Fri, Sat and Sun").arg(part);
        }
        if (range.start < 0 || range.end < 0) {
            return QStringLiteral("\"%1\": times run from 00:00 to 24:00").arg(part);
        }
        if (range.start == range.end) {
            return QStringLiteral("\"%1\": the range is empty").arg(part);
        }
        hours.ranges_.push_back(range);
    }
    return hours;
}

bool ReportingHours::contains(const QDateTime& time) const
{
    const QDateTime local = time.toLocalTime();
    const int day = local.date().dayOfWeek();
    const int previousDay = day == 1 ? 7 : day - 1;
    const int minute = local.time().hour() * 60 + local.time().minute();
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const Range& range) {
        if (range.start < range.end) {
            return range.hasDay(day) && minute >= range.start && minute < range.end;
        }
        // Across midnight: the evening of a named day, or the morning after one.
        return (range.hasDay(day) && minute >= range.start) || (range.hasDay(previousDay) && minute < range.end);
    });
}

std::optional<QDateTime> ReportingHours::nextChange(const QDateTime& time) const
{
    // Every change happens at a start or an end of a range, on one of the days of the coming week.
    const QDate today = time.toLocalTime().date();
    std::vector<QDateTime> candidates;
    for (qint64 offset = -1; offset <= 8; ++offset) {
        for (const Range& range : ranges_) {
            for (const int minutes : {range.start, range.end}) {
                const QDateTime at = localAt(today.addDays(offset), minutes);
                if (at.isValid() && at > time) {
                    candidates.push_back(at);
                }
            }
        }
    }
    std::sort(candidates.begin(), candidates.end());
    const bool inside = contains(time);
    for (const QDateTime& candidate : candidates) {
        if (contains(candidate) != inside) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace nerova
