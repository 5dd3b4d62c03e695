#include "cli/CommandLine.h"

#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/AppInfo.h"
#include "common/Error.h"
#include "common/LogHandler.h"
#include "service/PublicIPClient.h"

#include <array>

namespace nerova {

namespace {

constexpr std::array commands{
    Command{"run", "run   run the agent without a desktop until SIGINT or SIGTERM", runRunCommand},
    Command{"check",
            "check FILE [--stored] [--json]   decode a fingerprint file and summarise it\n"
            "  check FILE --snapshot SNAPSHOT.json [--explain] [--json]\n"
            "  check FILE --live [--no-public-ip | --public-ip-endpoint URL] [--explain] [--json]\n"
            "                                   evaluate it: the fingerprint that matches the network\n"
            "  check FILE (--snapshot S1 --snapshot S2 ... | --snapshots DIR) [--json]\n"
            "                                   evaluate it against each saved snapshot",
            runCheckCommand},
    Command{"fingerprint",
            "fingerprint suggest --name NAME --location-id ID [--level-id ID] [--zone-id ID] [--place-id ID]\n"
            "                    [--id ID] [--snapshot FILE | --no-public-ip | --public-ip-endpoint URL]\n"
            "                                   print a fingerprint for this place (or a saved snapshot)",
            runFingerprintCommand},
    Command{"probe", "probe ping HOST [--timeout S] | probe tcp HOST:PORT   run one network probe", runProbeCommand},
    Command{"snapshot", "snapshot [--json] [--no-public-ip | --public-ip-endpoint URL]   print the current network",
            runSnapshotCommand},
    Command{"watch",
            "watch [--no-public-ip | --public-ip-endpoint URL]\n"
            "                                   print each network snapshot as the monitor yields it, and the\n"
            "                                   lock and activity events, until interrupted",
            runWatchCommand},
    Command{"config", "config list | get KEY | set KEY VALUE | unset KEY   show or change settings", runConfigCommand},
    Command{"status", "status [--json] [--explain]   show the state of the agent running in this session",
            runStatusCommand},
    Command{"refresh", "refresh   ask the running agent to evaluate the network again", runRefreshCommand},
    Command{"pause", "pause [--for MINUTES | --until-tomorrow]   pause the reports, where the administrator allows it",
            runPauseCommand},
    Command{"resume", "resume   resume the reports", runResumeCommand},
    Command{"activity", "activity [--json] [--limit N]   list the requests the agent sent to the service, newest first",
            runActivityCommand},
    Command{"reset-enrolment", "reset-enrolment   forget the enrolment, so that the agent enrols anew",
            runResetEnrolmentCommand},
};

void writeHelp(QTextStream& stream)
{
    stream << "Usage: nerova-agent [--verbose] COMMAND [ARGUMENTS]\n"
              "       nerova-agent [--verbose]   start the desktop agent (tray icon and status window)\n"
              "       nerova-agent --help | --version\n\n"
              "Nerova Agent reports the user's presence at the company's locations.\n\n"
              "Commands:\n";
    for (const Command& command : commands) {
        stream << "  " << command.synopsis << '\n';
    }
    stream << "\nOptions:\n"
              "  --verbose   write debug log lines (also: QT_LOGGING_RULES=\"nerova.*.debug=true\")\n"
              "  --help      show this help\n"
              "  --version   show the version\n\n"
              "check --live, snapshot and watch look the public address up at the setting publicIpEndpoint\n"
              "(default "
           << PublicIPClient::defaultEndpoint().toString()
           << "), unless --public-ip-endpoint URL names\n"
              "another place or --no-public-ip skips the lookup.\n\n"
              "Run 'nerova-agent COMMAND --help' for the options of a command.\n";
}

QString versionText() { return QStringLiteral("nerova-agent %1 (build %2)").arg(appVersion(), appBuild()); }

} // namespace

int usageError(Console& console, const QString& problem, const QString& usage)
{
    console.error() << problem << "\nUsage: nerova-agent " << usage << '\n';
    return exitcode::usage;
}

std::optional<int> parseCommandArguments(QCommandLineParser& parser, const QStringList& arguments, Console& console,
                                         const QString& usage, qsizetype maxPositional)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    parser.addOption(help);
    if (!parser.parse(arguments)) {
        return usageError(console, parser.errorText(), usage);
    }
    if (parser.isSet(help)) {
        console.out() << "Usage: nerova-agent " << usage << '\n' << parser.helpText().section(u'\n', 2);
        return exitcode::success;
    }
    if (const QStringList positional = parser.positionalArguments(); positional.size() > maxPositional) {
        return usageError(
            console, QStringLiteral("%1: unexpected argument '%2'").arg(arguments.value(0), positional[maxPositional]),
            usage);
    }
    return std::nullopt;
}

bool isWebUrl(const QUrl& url)
{
    return url.isValid() && (url.scheme() == u"https" || url.scheme() == u"http") && !url.host().isEmpty();
}

QCoro::Task<int> runCommandLine(QStringList arguments, Console& console)
{
    if (!arguments.isEmpty()) {
        arguments.removeFirst(); // program name
    }
    if (arguments.removeAll(QStringLiteral("--verbose")) > 0) {
        enableVerboseLogging();
    }
    if (arguments.isEmpty()) {
        console.error() << "no command given. Run 'nerova-agent --help' for the list.\n";
        co_return exitcode::usage;
    }
    const QString& first = arguments.first();
    const bool programOption = first == u"--help" || first == u"-h" || first == u"help" || first == u"--version";
    if (programOption && arguments.size() > 1) {
        console.error() << "unexpected argument '" << arguments[1] << "' after " << first
                        << ". Run 'nerova-agent --help' for the list.\n";
        co_return exitcode::usage;
    }
    if (first == u"--help" || first == u"-h" || first == u"help") {
        writeHelp(console.out());
        co_return exitcode::success;
    }
    if (first == u"--version") {
        console.out() << versionText() << '\n';
        co_return exitcode::success;
    }
    for (const Command& command : commands) {
        if (first == QLatin1String(command.name)) {
            try {
                co_return co_await command.run(arguments, console);
            } catch (const std::exception& error) {
                console.error() << first << ": unexpected error: " << describeException(error) << '\n';
                co_return exitcode::failure;
            }
        }
    }
    console.error() << "unknown command '" << first << "'. Run 'nerova-agent --help' for the list.\n";
    co_return exitcode::usage;
}

} // namespace nerova
