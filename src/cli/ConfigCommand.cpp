#include "cli/ConfigCommand.h"

#include "agent/ReportingHours.h"
#include "agent/ReportingPolicy.h"
#include "cli/Command.h"
#include "cli/Commands.h"
#include "common/LogHandler.h"
#include "service/NerovaClient.h"

#include <QSet>
#include <QUrl>

#include <algorithm>
#include <array>
#include <string_view>
#include <variant>

namespace nerova {

namespace {

const QString usage = QStringLiteral("config list | get KEY | set KEY VALUE | unset KEY");
const QString secretKey = QString::fromLatin1(AgentSecret::key);

QString knownKeyList()
{
    QStringList names;
    for (const SettingKey& key : settingKeys) {
        names << QString::fromLatin1(key.name);
    }
    names << secretKey;
    return names.join(QStringLiteral(", "));
}

// The value to store for `text`, or the reason it does not fit the key.
std::variant<QVariant, QString> parseValue(const SettingKey& key, const QString& text)
{
    // Arguments that are not UTF-8 arrive with replacement characters, which would be stored as if
    // they were the value.
    if (text.contains(QChar::ReplacementCharacter) || !QStringView(text).isValidUtf16()) {
        return QStringLiteral("expects valid UTF-8 text");
    }
    switch (key.kind) {
    case SettingKind::flag:
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || text == u"1") {
            return QVariant(true);
        }
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || text == u"0") {
            return QVariant(false);
        }
        return QStringLiteral("expects true or false");
    case SettingKind::integer: {
        bool ok = false;
        const qint64 number = text.toLongLong(&ok);
        return ok ? std::variant<QVariant, QString>(QVariant(number)) : QStringLiteral("expects a whole number");
    }
    case SettingKind::url: {
        const QUrl url(text, QUrl::StrictMode);
        if (!isWebUrl(url)) {
            return QStringLiteral("expects an http or https URL");
        }
        // The service receives the registration key and signed requests: the client's own rule.
        if (key.name == std::string_view(settingskey::agentEndpoint) && !isPermittedServiceEndpoint(url)) {
            return QStringLiteral("expects an https URL; plain http only for a loopback host");
        }
        return QVariant(text);
    }
    case SettingKind::text: break;
    }
    if (text.isEmpty()) {
        return QStringLiteral("expects a text; use 'config unset' to remove the value");
    }
    if (key.name == std::string_view(settingskey::reportingHours)) {
        const auto hours = ReportingHours::parse(text);
        if (const auto* problem = std::get_if<QString>(&hours)) {
            return *problem;
        }
    }
    if (key.name == std::string_view(settingskey::reportPrecision) && !parseReportPrecision(text)) {
        return QStringLiteral("expects location, level, zone or place");
    }
    return QVariant(text);
}

// Why a stored or managed `text` cannot serve as the value of `key`; nothing when it can. Flags
// and numbers are read with the blanks around them, as the agent reads them.
std::optional<QString> valueProblem(const SettingKey& key, const QString& text)
{
    const bool trimmed = key.kind == SettingKind::flag || key.kind == SettingKind::integer;
    const auto parsed = parseValue(key, trimmed ? text.trimmed() : text);
    if (const auto* problem = std::get_if<QString>(&parsed)) {
        return *problem;
    }
    return std::nullopt;
}

// The value the agent would use, where it comes from, and why it is unusable when it is.
struct Effective {
    std::optional<QString> value;
    QString source;
    std::optional<QString> problem;
};

Effective effectiveValue(const SettingKey& key, const Settings& settings)
{
    const QString name = QString::fromLatin1(key.name);
    const QString user = QStringLiteral("user");
    if (key.managed) {
        if (auto managed = settings.managedText(name)) {
            std::optional<QString> problem = valueProblem(key, *managed);
            return {std::move(managed), QStringLiteral("managed"), std::move(problem)};
        }
    }
    if (key.managedOnly || !settings.contains(name)) {
        const QString source = QStringLiteral("default: ") + QString::fromLatin1(key.byDefault);
        return {std::nullopt,
                key.managedOnly && settings.contains(name) ? source + QStringLiteral("  (the user value is ignored)")
                                                           : source,
                std::nullopt};
    }
    const std::optional<QString> stored = settings.text(name);
    if (!stored) {
        return {std::nullopt, user, QStringLiteral("the stored value is not a single text")};
    }
    if (std::optional<QString> problem = valueProblem(key, *stored)) {
        return {stored, user, std::move(problem)};
    }
    switch (key.kind) {
    case SettingKind::flag: return {settings.flag(name) ? QStringLiteral("true") : QStringLiteral("false"), user, {}};
    case SettingKind::integer: return {QString::number(settings.integer(name)), user, {}};
    case SettingKind::text:
    case SettingKind::url: break;
    }
    return {stored, user, std::nullopt};
}

// Present, absent, or why the credential store cannot tell.
struct SecretState {
    std::optional<bool> present;
    QString problem;
};

QCoro::Task<SecretState> secretState(AgentSecret& secret)
{
    try {
        const auto stored = co_await secret.lookup();
        co_return SecretState{stored.has_value(), {}};
    } catch (const AgentSecretError& error) {
        co_return SecretState{std::nullopt, error.payload()};
    }
}

QString secretText(const SecretState& state)
{
    if (!state.present) {
        return QStringLiteral("unknown");
    }
    return *state.present ? QStringLiteral("present") : QStringLiteral("absent");
}

// Says why the user's settings cannot be read, when they cannot: their values would otherwise
// show as defaults.
bool reportUnusableFile(Console& console, const Settings& settings)
{
    const std::optional<QString> problem = settings.fileProblem();
    if (problem) {
        console.error() << "cannot read the user settings: " << *problem << '\n';
    }
    return problem.has_value();
}

QCoro::Task<int> list(Console& console, Settings& settings, AgentSecret& secret)
{
    QList<std::array<QString, 3>> rows;
    {
        const Settings::Batch batch(settings, false);
        if (reportUnusableFile(console, settings)) {
            co_return exitcode::failure;
        }
        for (const SettingKey& key : settingKeys) {
            const Effective effective = effectiveValue(key, settings);
            // The registration key is a credential: the list tells only that it is set, as for the secret.
            const bool masked = effective.value && key.name == std::string_view(settingskey::registrationKey);
            rows.append({QString::fromLatin1(key.name),
                         masked ? QStringLiteral("present") : effective.value.value_or(QStringLiteral("-")),
                         effective.problem
                             ? effective.source + QStringLiteral("  (not usable: ") + *effective.problem + u')'
                             : effective.source});
        }
    }
    const SecretState state = co_await secretState(secret);
    const QString store = QStringLiteral("credential store");
    rows.append({secretKey, secretText(state), state.present ? store : store + QStringLiteral(": ") + state.problem});

    qsizetype nameWidth = 0;
    qsizetype valueWidth = 0;
    for (const auto& row : rows) {
        nameWidth = std::max(nameWidth, row[0].size());
        valueWidth = std::max(valueWidth, row[1].size());
    }
    console.out() << "# user settings: " << settings.userFile() << '\n'
                  << "# managed configuration: " << settings.managedDirectory() << '\n';
    for (const auto& row : rows) {
        console.out() << row[0].leftJustified(nameWidth + 2) << row[1].leftJustified(valueWidth + 2) << row[2] << '\n';
    }
    co_return exitcode::success;
}

QCoro::Task<int> get(Console& console, Settings& settings, AgentSecret& secret, const QString& name)
{
    if (name == secretKey) {
        const SecretState state = co_await secretState(secret);
        if (!state.present) {
            console.error() << "cannot tell whether an agent secret is stored: " << state.problem << '\n';
            co_return exitcode::failure;
        }
        console.out() << secretText(state) << '\n';
        co_return *state.present ? exitcode::success : exitcode::failure;
    }
    const Settings::Batch batch(settings, false);
    if (reportUnusableFile(console, settings)) {
        co_return exitcode::failure;
    }
    const SettingKey& key = *findSettingKey(name);
    const Effective effective = effectiveValue(key, settings);
    if (effective.problem) {
        console.error() << "note: the " << effective.source << " value of " << name
                        << " is not usable: " << *effective.problem << '\n';
    }
    if (!effective.value) {
        console.error() << name << " is not set (" << effective.source << ")\n";
        co_return exitcode::failure;
    }
    console.out() << *effective.value << '\n';
    co_return exitcode::success;
}

void noteManagedOverride(Console& console, const SettingKey& key, const Settings& settings)
{
    if (!key.managed) {
        return;
    }
    if (const auto managed = settings.managedText(QString::fromLatin1(key.name))) {
        console.error() << "note: the managed configuration sets " << key.name << " to " << *managed
                        << ", which overrides the user setting\n";
    }
}

int set(Console& console, Settings& settings, const SettingKey& key, const QString& text)
{
    if (key.managedOnly) {
        console.error() << key.name << " is set by the administrator only, in a policy file in "
                        << settings.managedDirectory() << '\n';
        return exitcode::usage;
    }
    const auto parsed = parseValue(key, text);
    if (const auto* problem = std::get_if<QString>(&parsed)) {
        return usageError(console, QString::fromLatin1(key.name) + u' ' + *problem, usage);
    }
    const Settings::Batch batch(settings, true);
    if (!settings.write(QString::fromLatin1(key.name), std::get<QVariant>(parsed))) {
        console.error() << "cannot write " << settings.userFile() << '\n';
        return exitcode::failure;
    }
    noteManagedOverride(console, key, settings);
    return exitcode::success;
}

int unset(Console& console, Settings& settings, const SettingKey& key)
{
    const Settings::Batch batch(settings, true);
    if (!settings.erase(QString::fromLatin1(key.name))) {
        console.error() << "cannot write " << settings.userFile() << '\n';
        return exitcode::failure;
    }
    noteManagedOverride(console, key, settings);
    return exitcode::success;
}

} // namespace

QCoro::Task<int> runConfig(QStringList arguments, Console& console, Settings& settings, AgentSecret& secret)
{
    // Error lines of the stores go to the command's standard error, where the user sees them; the
    // policy directory is read for every managed key, so each problem is said once.
    QSet<QString> written;
    const LogReceiver errors([&](QtMsgType type, const char* category, const QString& message) {
        if (!isOwnCategory(category)) {
            return false;
        }
        if (type == QtCriticalMsg && !written.contains(message)) {
            written.insert(message);
            console.error() << message << '\n';
        }
        return true;
    });
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("action"), QStringLiteral("list, get, set or unset"));
    parser.addPositionalArgument(QStringLiteral("KEY"), QStringLiteral("one of: ") + knownKeyList());
    parser.addPositionalArgument(QStringLiteral("VALUE"), QStringLiteral("the value to store in the user settings"));
    if (const auto done = parseCommandArguments(parser, arguments, console, usage, 3)) {
        co_return *done;
    }
    const QStringList positional = parser.positionalArguments();
    const QString action = positional.value(0);
    const qsizetype expected = action == u"list"                        ? 1
                               : action == u"set"                       ? 3
                               : action == u"get" || action == u"unset" ? 2
                                                                        : 0;
    if (expected == 0) {
        co_return usageError(console,
                             positional.isEmpty() ? QStringLiteral("config needs an action")
                                                  : QStringLiteral("unknown config action '%1'").arg(action),
                             usage);
    }
    if (positional.size() != expected) {
        co_return usageError(console, QStringLiteral("config %1 takes %2 argument(s)").arg(action).arg(expected - 1),
                             usage);
    }
    if (action == u"list") {
        co_return co_await list(console, settings, secret);
    }
    const QString name = positional[1];
    if (name != secretKey && !findSettingKey(name)) {
        console.error() << "unknown key '" << name << "'. Known keys: " << knownKeyList() << '\n';
        co_return exitcode::usage;
    }
    if (action == u"get") {
        co_return co_await get(console, settings, secret, name);
    }
    if (name == secretKey) {
        console.error() << secretKey
                        << " lives in the credential store and is written by enrolment only; it cannot be set or unset "
                           "here\n";
        co_return exitcode::usage;
    }
    co_return action == u"set" ? set(console, settings, *findSettingKey(name), positional[2])
                               : unset(console, settings, *findSettingKey(name));
}

QCoro::Task<int> runConfigCommand(QStringList arguments, Console& console)
{
    Settings settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory());
    AgentSecret secret;
    co_return co_await runConfig(std::move(arguments), console, settings, secret);
}

} // namespace nerova
