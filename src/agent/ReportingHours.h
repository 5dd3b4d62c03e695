#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>
#include <variant>
#include <vector>

namespace nerova {

// The hours in which the agent may report, as the administrator writes them: one or more ranges
// separated by commas, each "DAYS HH:MM-HH:MM". DAYS is a day ("Sat") or a day range ("Mon-Fri",
// which may wrap: "Fri-Mon"); times run from 00:00 to 24:00, the start included and the end
// excluded. An end before the start crosses midnight, and the day names the start. Times are the
// local time of the moment asked about.
class ReportingHours {
public:
    struct Range {
        int firstDay; // 1 (Monday) .. 7 (Sunday)
        int lastDay;
        int start; // minutes since midnight, 0 .. 1440
        int end;

        bool hasDay(int day) const; // whether `day` (1..7) lies in first..last, wrapping past Sunday
    };

    // The hours of `text`, or why it cannot be read.
    static std::variant<ReportingHours, QString> parse(QStringView text);

    // Whether `time` (converted to local time) lies inside one of the ranges.
    bool contains(const QDateTime& time) const;
    // The first moment after `time` at which `contains` changes; nothing when it never does (every
    // hour of the week is inside, or none is).
    std::optional<QDateTime> nextChange(const QDateTime& time) const;

    const std::vector<Range>& ranges() const { return ranges_; }

private:
    std::vector<Range> ranges_;
};

} // namespace nerova
