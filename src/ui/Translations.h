#pragma once

#include "agent/ActivityRecord.h"

#include <QLocale>
#include <QString>

#include <optional>

namespace nerova {

class ReportingPolicy;

// Installs the translation of the menu and the window for `locale` (and Qt's own, for the texts of
// its standard widgets), replacing the ones installed before. The locale's languages are taken in
// the user's order; English, or no language with a translation, leaves the English texts. The
// translations are looked for in `directory`, or when empty in translationsDirectory(). Tells
// whether a translation of the program was installed.
bool installTranslations(const QLocale& locale, const QString& directory = {});
// share/nerova-agent/translations beside the program (installed, or in the build tree), else the
// first one in the XDG data directories; empty when there is none.
QString translationsDirectory();

// Texts that the agent also gives to the command line, the log and the bus, in English there;
// these translate them where the menu and the window show them.
//
// The agent's message: "Not configured" translated, any other (a problem's details) as it is.
QString agentMessageText(const QString& message);
// What stands in for the location while the agent does not report; empty while it does.
QString reportingNoticeText(const ReportingPolicy& policy);
// "true", "false", "undecided" and "not needed" of an evaluation.
QString truthDisplayText(const std::optional<bool>& value);
QString notNeededDisplayText();
// The request and outcome of an entry of the activity record.
QString activityRequestDisplayText(ActivityRequest request);
QString activityOutcomeDisplayText(ActivityOutcome outcome);

} // namespace nerova
