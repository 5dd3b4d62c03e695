#include "ui/Translations.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "rules/RulesEngineEvaluation.h"
#include "ui/ViewLogging.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTranslator>

#include <memory>

namespace nerova {

namespace {

constexpr const char* relativeDirectory = "nerova-agent/translations";

// The translators installed now: the program's and Qt's.
std::unique_ptr<QTranslator>& programTranslator()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

std::unique_ptr<QTranslator>& qtTranslator()
{
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

void replace(std::unique_ptr<QTranslator>& installed, std::unique_ptr<QTranslator> next)
{
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
    }
    installed = std::move(next);
    if (installed) {
        QCoreApplication::installTranslator(installed.get());
    }
}

// The translation "NAME_LANGUAGE.qm" in `directory`, e.g. nerova-agent_de_DE.qm, then nerova-agent_de.qm.
std::unique_ptr<QTranslator> load(const QString& name, const QString& language, const QString& directory)
{
    auto translator = std::make_unique<QTranslator>();
    QString file = name + u'_' + QString(language).replace(u'-', u'_');
    while (file.size() > name.size()) {
        const QString path = directory + u'/' + file + QStringLiteral(".qm");
        if (QFileInfo::exists(path) && translator->load(path)) {
            return translator;
        }
        file.truncate(file.lastIndexOf(u'_'));
    }
    return nullptr;
}

} // namespace

QString translationsDirectory()
{
    const QString beside =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/") + relativeDirectory);
    if (QFileInfo(beside).isDir()) {
        return beside;
    }
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation, QString::fromLatin1(relativeDirectory),
                                  QStandardPaths::LocateDirectory);
}

bool installTranslations(const QLocale& locale, const QString& directory)
{
    const QString from = directory.isEmpty() ? translationsDirectory() : directory;
    std::unique_ptr<QTranslator> program;
    QString chosen;
    for (const QString& language : locale.uiLanguages()) {
        if (QLocale(language).language() == QLocale::English) {
            break; // the texts are written in English
        }
        if (!from.isEmpty() && (program = load(QStringLiteral("nerova-agent"), language, from))) {
            chosen = language;
            break;
        }
    }
    std::unique_ptr<QTranslator> qt;
    if (program) {
        qt = load(QStringLiteral("qtbase"), chosen, QLibraryInfo::path(QLibraryInfo::TranslationsPath));
        qCInfo(lcView, "Translation %s of the menu and the window from %s (Qt's own: %s)",
               qUtf8Printable(program->language()), qUtf8Printable(program->filePath()),
               qt ? qUtf8Printable(qt->filePath()) : "none");
    } else {
        qCDebug(lcView, "No translation for %s in %s: the texts stay English",
                qUtf8Printable(locale.uiLanguages().join(u',')), qUtf8Printable(from));
    }
    replace(programTranslator(), std::move(program));
    replace(qtTranslator(), std::move(qt));
    return programTranslator() != nullptr;
}

QString agentMessageText(const QString& message)
{
    if (message == QLatin1String(Agent::notConfiguredMessage)) {
        return QCoreApplication::translate("AgentTexts", "Not configured");
    }
    return message;
}

QString reportingNoticeText(const ReportingPolicy& policy)
{
    switch (policy.state()) {
    case ReportingPolicy::State::reporting: break;
    case ReportingPolicy::State::outsideHours:
        return QCoreApplication::translate("AgentTexts", "Outside reporting hours");
    case ReportingPolicy::State::paused:
        return QCoreApplication::translate("AgentTexts", "Reporting paused until %1")
            .arg(QLocale().toString(policy.pausedUntil().toLocalTime(), QLocale::ShortFormat));
    }
    return QString();
}

QString truthDisplayText(const std::optional<bool>& value)
{
    if (!value) {
        return QCoreApplication::translate("AgentTexts", "undecided");
    }
    return *value ? QCoreApplication::translate("AgentTexts", "true")
                  : QCoreApplication::translate("AgentTexts", "false");
}

QString notNeededDisplayText() { return QCoreApplication::translate("AgentTexts", "not needed"); }

QString activityRequestDisplayText(ActivityRequest request)
{
    switch (request) {
    case ActivityRequest::registration: return QCoreApplication::translate("AgentTexts", "registration");
    case ActivityRequest::completion: return QCoreApplication::translate("AgentTexts", "completion");
    case ActivityRequest::checkin: return QCoreApplication::translate("AgentTexts", "check-in");
    case ActivityRequest::presence: return QCoreApplication::translate("AgentTexts", "presence");
    case ActivityRequest::download: return QCoreApplication::translate("AgentTexts", "download");
    }
    return activityRequestText(request);
}

QString activityOutcomeDisplayText(ActivityOutcome outcome)
{
    switch (outcome) {
    case ActivityOutcome::accepted: return QCoreApplication::translate("AgentTexts", "accepted");
    case ActivityOutcome::refused: return QCoreApplication::translate("AgentTexts", "refused");
    case ActivityOutcome::failed: return QCoreApplication::translate("AgentTexts", "failed");
    case ActivityOutcome::notModified: return QCoreApplication::translate("AgentTexts", "not modified");
    }
    return activityOutcomeText(outcome);
}

} // namespace nerova
