#include "ui/TrayMenuModel.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "common/AppInfo.h"
#include "ui/Translations.h"
#include "ui/UserDisplayName.h"

namespace nerova {

namespace {

// A part of the version, or "Unknown" in the user's language when the build does not carry it.
QString orUnknown(const QString& part) { return part == u"Unknown" ? TrayMenuModel::tr("Unknown") : part; }

} // namespace

TrayMenuModel::TrayMenuModel(Agent& agent, QObject* parent) : QObject(parent), agent_(agent)
{
    connect(&agent, &Agent::messageChanged, this, &TrayMenuModel::changed);
    connect(&agent, &Agent::fingerprintChanged, this, &TrayMenuModel::changed);
    connect(&agent.reportingPolicy(), &ReportingPolicy::changed, this, &TrayMenuModel::changed);
}

bool TrayMenuModel::allowQuit() const { return agent_.settings().flag(QString::fromLatin1(settingskey::allowQuit)); }

std::vector<TrayMenuRow> TrayMenuModel::rows() const
{
    using Kind = TrayMenuRow::Kind;
    std::vector<TrayMenuRow> rows;
    if (!agent_.message().isEmpty()) {
        rows.push_back(
            {Kind::message, QStringLiteral("exclamationmark.triangle"), agentMessageText(agent_.message()), {}});
    }
    rows.push_back({Kind::user, QStringLiteral("person.fill"), userDisplayName(agent_.settings()), {}});
    const ReportingPolicy& policy = agent_.reportingPolicy();
    if (const QString notice = reportingNoticeText(policy); !notice.isEmpty()) {
        rows.push_back({Kind::location, QStringLiteral("location.slash.fill"), notice, {}});
    } else if (const std::optional<Fingerprint>& fingerprint = agent_.fingerprint()) {
        rows.push_back({Kind::location, QStringLiteral("location.fill"), fingerprint->name, {}});
    } else {
        rows.push_back({Kind::location, QStringLiteral("location.slash.fill"), tr("Not determined"), {}});
    }
    rows.push_back({Kind::showWindow, {}, tr("Show window"), QKeySequence(Qt::CTRL | Qt::Key_W)});
    rows.push_back({Kind::refresh, {}, tr("Refresh"), QKeySequence(Qt::CTRL | Qt::Key_R)});
    if (policy.pausedUntil().isValid()) {
        rows.push_back({Kind::resume, {}, tr("Resume reporting"), {}});
    } else if (policy.pauseAllowed()) {
        rows.push_back({Kind::pauseForAnHour, {}, tr("For one hour"), {}});
        rows.push_back({Kind::pauseUntilTomorrow, {}, tr("Until tomorrow"), {}});
    }
    if (allowQuit()) {
        rows.push_back({Kind::quit, {}, tr("Quit Nerova Agent"), QKeySequence(Qt::CTRL | Qt::Key_Q)});
    }
    rows.push_back({Kind::version, {}, tr("Version %1-%2").arg(orUnknown(appVersion()), orUnknown(appBuild())), {}});
    return rows;
}

} // namespace nerova
