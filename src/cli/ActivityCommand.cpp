// `activity`: the requests the agent sent to the service, from its record; no running agent needed.
#include "agent/ActivityRecord.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/TerminalText.h"

namespace nerova {

namespace {

const char* const usage = "activity [--json] [--limit N]";

QString column(const QString& text) { return text.leftJustified(12); }

} // namespace

QCoro::Task<int> runActivityCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the entries as a JSON array."));
    const QCommandLineOption limit(QStringLiteral("limit"), QStringLiteral("Show only the newest N entries."),
                                   QStringLiteral("N"));
    parser.addOptions({json, limit});
    if (const std::optional<int> done = parseCommandArguments(parser, arguments, console, QString::fromLatin1(usage))) {
        co_return *done;
    }
    qsizetype count = ActivityRecord::maxEntries;
    if (parser.isSet(limit)) {
        bool isNumber = false;
        const QString text = parser.value(limit);
        count = text.toLongLong(&isNumber);
        if (!isNumber || count <= 0 || text.startsWith(u'+')) {
            co_return usageError(console,
                                 QStringLiteral("activity: --limit needs a positive whole number, not '%1'").arg(text),
                                 QString::fromLatin1(usage));
        }
    }
    const QString path = ActivityRecord::defaultPath();
    QString problem;
    QList<ActivityEntry> entries = ActivityRecord::read(path, QDateTime::currentDateTimeUtc(), &problem);
    if (!problem.isEmpty()) {
        console.error() << "activity: cannot read " << path << ": " << problem << '\n';
        co_return exitcode::failure;
    }
    if (entries.size() > count) {
        entries.resize(count);
    }
    if (parser.isSet(json)) {
        Json array = Json::array();
        for (const ActivityEntry& entry : entries) {
            array.push_back(entry.toJson());
        }
        console.out() << QString::fromStdString(array.dump(2, ' ', false, Json::error_handler_t::replace)) << '\n';
        co_return exitcode::success;
    }
    if (entries.isEmpty()) {
        console.out() << "No request to the service recorded.\n";
    }
    for (const ActivityEntry& entry : entries) {
        console.out() << entry.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) << "  "
                      << column(activityRequestText(entry.request)) << "  "
                      << column(activityOutcomeText(entry.outcome)) << "  " << printable(entry.detail) << '\n';
    }
    co_return exitcode::success;
}

} // namespace nerova
