#pragma once

#include "cli/Console.h"

#include <QCommandLineParser>
#include <QCoro/QCoroTask>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace nerova {

// One subcommand of nerova-agent.
struct Command {
    const char* name;
    const char* synopsis; // shown by --help
    QCoro::Task<int> (*run)(QStringList arguments, Console& console);
};

// Parses `arguments` (the subcommand's name first) with `parser`, which gains --help. Yields the
// exit code when the command is done already (help shown, or an error written with the usage
// line), nothing when it should go on. `usage` is the text after "nerova-agent ". Unknown options
// and more than `maxPositional` positional arguments are errors, found before the command does
// anything.
std::optional<int> parseCommandArguments(QCommandLineParser& parser, const QStringList& arguments, Console& console,
                                         const QString& usage, qsizetype maxPositional = 0);

// Whether `url` can be fetched by the commands and the agent: http or https, with a host.
bool isWebUrl(const QUrl& url);

// Writes `problem` and the usage line to standard error and yields exitcode::usage.
int usageError(Console& console, const QString& problem, const QString& usage);

} // namespace nerova
