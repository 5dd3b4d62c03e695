#include "agent/ReportingPolicy.h"

#include "agent/AgentLog.h"

#include <QLocale>

#include <algorithm>
#include <utility>

namespace nerova {

namespace {

QString key(const char* name) { return QString::fromLatin1(name); }

// The longest a boundary timer runs before the state is looked at again.
constexpr qint64 longestWaitMs = 24LL * 3600 * 1000;

} // namespace

std::optional<ReportPrecision> parseReportPrecision(QStringView text)
{
    static const std::pair<const char*, ReportPrecision> names[] = {{"location", ReportPrecision::location},
                                                                    {"level", ReportPrecision::level},
                                                                    {"zone", ReportPrecision::zone},
                                                                    {"place", ReportPrecision::place}};
    for (const auto& [name, precision] : names) {
        if (text == QLatin1String(name)) {
            return precision;
        }
    }
    return std::nullopt;
}

LocationPoint cappedLocationPoint(LocationPoint point, ReportPrecision precision)
{
    if (precision < ReportPrecision::place) {
        point.placeId.reset();
    }
    if (precision < ReportPrecision::zone) {
        point.zoneId.reset();
    }
    if (precision < ReportPrecision::level) {
        point.levelId.reset();
    }
    return point;
}

ReportingPolicy::ReportingPolicy(const Settings& settings, const Clock& clock, QObject* parent)
    : QObject(parent), settings_(settings), clock_(clock)
{
    boundary_.setSingleShot(true);
    boundary_.setTimerType(Qt::PreciseTimer); // a coarse timer may fire early, before the boundary
    connect(&boundary_, &QTimer::timeout, this, &ReportingPolicy::update);
    const std::optional<ReportingHours> current = hours();
    if (current && !current->contains(clock_.now())) {
        state_ = State::outsideHours;
    }
    armTimer(current);
}

QString ReportingPolicy::notice() const
{
    switch (state_) {
    case State::reporting: break;
    case State::outsideHours: return QString::fromLatin1(outsideHoursNotice);
    case State::paused:
        return QStringLiteral("Reporting paused until %1")
            .arg(QLocale().toString(pausedUntil_.toLocalTime(), QLocale::ShortFormat));
    }
    return QString();
}

bool ReportingPolicy::pauseAllowed() const
{
    const std::optional<QString> text = settings_.managedText(key(settingskey::allowPause));
    if (!text) {
        return false;
    }
    const QString value = text->trimmed();
    if (value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || value == u"1") {
        return true;
    }
    if (value.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0 && value != u"0") {
        settings_.reportManagedProblem(
            QStringLiteral("allowPause") + u'\0' + value,
            QStringLiteral("Managed setting allowPause is \"%1\", not true or false: pausing is not allowed")
                .arg(value));
    }
    return false;
}

std::optional<QString> ReportingPolicy::pauseFor(std::chrono::minutes duration)
{
    if (duration < std::chrono::minutes(1) || duration > longestPause) {
        return QStringLiteral("a pause lasts from 1 to %1 minutes").arg(longestPause.count());
    }
    return pauseUntil(clock_.now().addSecs(std::chrono::duration_cast<std::chrono::seconds>(duration).count()));
}

std::optional<QString> ReportingPolicy::pauseUntilTomorrow()
{
    // startOfDay: where the clocks change at midnight, the day starts at 01:00.
    return pauseUntil(clock_.now().toLocalTime().date().addDays(1).startOfDay().toUTC());
}

std::optional<QString> ReportingPolicy::pauseUntil(QDateTime until)
{
    if (!pauseAllowed()) {
        return QStringLiteral("pausing is not allowed: the administrator has not set allowPause");
    }
    qCInfo(lcAgent, "Reporting paused until %s", qUtf8Printable(until.toUTC().toString(Qt::ISODate)));
    pausedUntil_ = std::move(until);
    if (!update()) {
        emit changed();
    }
    return std::nullopt;
}

void ReportingPolicy::resume()
{
    if (!pausedUntil_.isValid()) {
        return;
    }
    qCInfo(lcAgent, "Reporting resumed");
    pausedUntil_ = QDateTime();
    if (!update()) {
        emit changed();
    }
}

ReportPrecision ReportingPolicy::precision() const
{
    const std::optional<Json> value = settings_.managedValue(key(settingskey::reportPrecision));
    if (!value) {
        return ReportPrecision::place;
    }
    if (value->is_string()) {
        if (const auto precision = parseReportPrecision(fromStdString(value->get_ref<const std::string&>()))) {
            return *precision;
        }
    }
    const QString described = describeJsonValue(*value);
    settings_.reportManagedProblem(QStringLiteral("reportPrecision") + u'\0' + described,
                                   QStringLiteral("Managed setting reportPrecision is %1, not location, level, zone "
                                                  "or place: reports carry the location only")
                                       .arg(described));
    return ReportPrecision::location;
}

std::optional<ReportingHours> ReportingPolicy::hours() const
{
    const std::optional<Json> value = settings_.managedValue(key(settingskey::reportingHours));
    if (!value) {
        return std::nullopt;
    }
    QString problem = QStringLiteral("it is %1, not text").arg(describeJsonValue(*value));
    if (value->is_string()) {
        auto parsed = ReportingHours::parse(fromStdString(value->get_ref<const std::string&>()));
        if (auto* hours = std::get_if<ReportingHours>(&parsed)) {
            return std::move(*hours);
        }
        problem = std::get<QString>(parsed);
    }
    settings_.reportManagedProblem(
        QStringLiteral("reportingHours") + u'\0' + problem,
        QStringLiteral("Managed setting reportingHours is not usable (%1): reporting at all hours").arg(problem));
    return std::nullopt;
}

bool ReportingPolicy::update()
{
    const QDateTime now = clock_.now();
    bool pauseChanged = false;
    if (pausedUntil_.isValid() && (now >= pausedUntil_ || !pauseAllowed())) {
        qCInfo(lcAgent, "The pause of the reports ended");
        pausedUntil_ = QDateTime();
        pauseChanged = true;
    }
    const std::optional<ReportingHours> current = hours();
    const State next = pausedUntil_.isValid()               ? State::paused
                       : current && !current->contains(now) ? State::outsideHours
                                                            : State::reporting;
    armTimer(current);
    if (next == state_) {
        if (pauseChanged) {
            emit changed();
        }
        return false;
    }
    const State previous = std::exchange(state_, next);
    qCInfo(lcAgent, "%s",
           next == State::outsideHours ? "Outside reporting hours"
           : next == State::paused     ? "Reporting paused"
                                       : "Reporting again");
    emit stateChanged(previous);
    emit changed();
    return true;
}

void ReportingPolicy::armTimer(const std::optional<ReportingHours>& hours)
{
    const QDateTime now = clock_.now();
    std::optional<QDateTime> next;
    if (hours) {
        next = hours->nextChange(now);
    }
    if (pausedUntil_.isValid() && (!next || pausedUntil_ < *next)) {
        next = pausedUntil_;
    }
    if (!next) {
        boundary_.stop();
        return;
    }
    boundary_.start(std::chrono::milliseconds(std::clamp<qint64>(now.msecsTo(*next), 1, longestWaitMs)));
}

} // namespace nerova
