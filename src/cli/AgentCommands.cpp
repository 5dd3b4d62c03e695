// The commands that talk to the running agent or reset its enrolment.
#include "agent/AgentBusAdaptor.h"
#include "agent/AgentWiring.h"
#include "agent/ReportingPolicy.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/Json.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLocale>

namespace nerova {

namespace {

// Calls `method` of the running agent with `arguments`; absent, after telling the user, when none
// answers or the agent refuses.
std::optional<QDBusMessage> callAgent(const QString& method, Console& console, const QVariantList& arguments = {})
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        console.error() << "no session bus, so no agent can be running\n";
        return std::nullopt;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(agentbus::serviceName),
                                                       QString::fromLatin1(agentbus::objectPath),
                                                       QString::fromLatin1(agentbus::interfaceName), method);
    call.setArguments(arguments);
    QDBusMessage reply = bus.call(call, QDBus::Block, 10'000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) {
            console.error() << "no agent is running in this session\n";
        } else if (reply.errorName() == QLatin1String(AgentBusAdaptor::pauseRefusedError)) {
            console.error() << reply.errorMessage() << '\n';
        } else {
            console.error() << "the agent did not answer: " << reply.errorMessage() << '\n';
        }
        return std::nullopt;
    }
    return reply;
}

QString text(const Json& value, const char* absent)
{
    return value.is_string() ? fromStdString(value.get<std::string>()) : QString::fromLatin1(absent);
}

void writeStatus(const Json& status, bool explain, QTextStream& out)
{
    const Json& fingerprint = status.at("fingerprint");
    const Json& file = status.at("fingerprintFile");
    // While the agent does not report (outside its hours, paused), that stands in for the location.
    const QString notice = status.contains("reporting") ? text(status.at("reporting").at("notice"), "") : QString();
    out << "Registered:            " << (status.at("registered").get<bool>() ? "yes" : "no") << '\n'
        << "Location:              "
        << (!notice.isEmpty()         ? notice
            : fingerprint.is_object() ? text(fingerprint.at("name"), "") + QStringLiteral(" (") +
                                            text(fingerprint.at("fingerprintId"), "") + u')'
                                      : QStringLiteral("none"))
        << '\n'
        << "Last check-in:         " << text(status.at("lastCheckin"), "never") << '\n'
        << "Last presence check:   " << text(status.at("lastPresenceCheck"), "never") << '\n'
        << "Last presence report:  " << text(status.at("lastPresenceSend"), "never") << '\n'
        << "Fingerprint file:      "
        << (file.is_object() ? QStringLiteral("version %1").arg(file.at("fingerprintVersion").get<qint64>())
                             : QStringLiteral("none"))
        << '\n';
    const QString message = text(status.at("message"), "");
    if (!message.isEmpty()) {
        out << "Message:               " << message << '\n';
    }
    if (explain) {
        const Json& evaluation = status.at("evaluation");
        out << '\n'
            << (evaluation.is_object() ? text(evaluation.at("explanation"), "")
                                       : QStringLiteral("No evaluation yet\n"));
    }
}

} // namespace

QCoro::Task<int> runStatusCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the whole state as JSON."));
    const QCommandLineOption explain(QStringLiteral("explain"),
                                     QStringLiteral("Add how the last evaluation reached its result."));
    parser.addOptions({json, explain});
    if (const std::optional<int> done =
            parseCommandArguments(parser, arguments, console, QStringLiteral("status [--json] [--explain]"))) {
        co_return *done;
    }
    const std::optional<QDBusMessage> reply = callAgent(QStringLiteral("Status"), console);
    if (!reply) {
        co_return exitcode::failure;
    }
    Json status = parseJson(reply->arguments().value(0).toString().toUtf8());
    if (parser.isSet(json)) {
        if (!parser.isSet(explain) && status.at("evaluation").is_object()) {
            status["evaluation"].erase("explain");
            status["evaluation"].erase("explanation");
        }
        console.out() << QString::fromStdString(status.dump(2)) << '\n';
    } else {
        writeStatus(status, parser.isSet(explain), console.out());
    }
    co_return exitcode::success;
}

QCoro::Task<int> runRefreshCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    if (const std::optional<int> done = parseCommandArguments(parser, arguments, console, QStringLiteral("refresh"))) {
        co_return *done;
    }
    co_return callAgent(QStringLiteral("Refresh"), console) ? exitcode::success : exitcode::failure;
}

QCoro::Task<int> runPauseCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("pause [--for MINUTES | --until-tomorrow]");
    const qint64 longest = ReportingPolicy::longestPause.count();
    QCommandLineParser parser;
    const QCommandLineOption duration(QStringLiteral("for"),
                                      QStringLiteral("Pause for MINUTES (1 to %1; 60 by default).").arg(longest),
                                      QStringLiteral("MINUTES"));
    const QCommandLineOption tomorrow(QStringLiteral("until-tomorrow"), QStringLiteral("Pause until midnight."));
    parser.addOptions({duration, tomorrow});
    if (const std::optional<int> done = parseCommandArguments(parser, arguments, console, usage)) {
        co_return *done;
    }
    if (parser.isSet(duration) && parser.isSet(tomorrow)) {
        co_return usageError(console, QStringLiteral("give either --for or --until-tomorrow"), usage);
    }
    int minutes = 60;
    if (parser.isSet(duration)) {
        bool ok = false;
        minutes = parser.value(duration).toInt(&ok);
        if (!ok || minutes < 1 || minutes > longest) {
            co_return usageError(console, QStringLiteral("--for expects minutes from 1 to %1").arg(longest), usage);
        }
    }
    const std::optional<QDBusMessage> reply = parser.isSet(tomorrow)
                                                  ? callAgent(QStringLiteral("PauseUntilTomorrow"), console)
                                                  : callAgent(QStringLiteral("Pause"), console, {minutes});
    if (!reply) {
        co_return exitcode::failure;
    }
    const QDateTime until = QDateTime::fromString(reply->arguments().value(0).toString(), Qt::ISODate);
    console.out() << "Reporting paused until " << QLocale().toString(until.toLocalTime(), QLocale::ShortFormat) << '\n';
    co_return exitcode::success;
}

QCoro::Task<int> runResumeCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    if (const std::optional<int> done = parseCommandArguments(parser, arguments, console, QStringLiteral("resume"))) {
        co_return *done;
    }
    if (!callAgent(QStringLiteral("Resume"), console)) {
        co_return exitcode::failure;
    }
    console.out() << "Reporting resumed\n";
    co_return exitcode::success;
}

QCoro::Task<int> runResetEnrolmentCommand(QStringList arguments, Console& console)
{
    QCommandLineParser parser;
    if (const std::optional<int> done =
            parseCommandArguments(parser, arguments, console, QStringLiteral("reset-enrolment"))) {
        co_return *done;
    }
    Settings settings = makeUserSettings();
    for (const char* key : {settingskey::isRegistered, settingskey::projectID, settingskey::instanceID,
                            settingskey::fingerprintURL, settingskey::fingerprintExpiry}) {
        settings.remove(QString::fromLatin1(key));
    }
    AgentSecret secret = makeAgentSecret();
    std::optional<QString> failure;
    try {
        QCoro::Task<void> removing = secret.remove();
        co_await removing;
    } catch (const std::exception& error) {
        failure = describeException(error);
    }
    if (failure) {
        console.error() << "reset-enrolment: the settings are reset, but the secret could not be "
                           "removed: "
                        << *failure << '\n';
        co_return exitcode::failure;
    }
    console.out() << "Enrolment reset: the agent enrols anew at its next check-in.\n";
    co_return exitcode::success;
}

} // namespace nerova
