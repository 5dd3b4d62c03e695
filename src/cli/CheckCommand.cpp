#include "cli/Command.h"
#include "cli/Commands.h"
#include "cli/CurrentNetwork.h"
#include "cli/FingerprintSummary.h"
#include "common/Json.h"
#include "common/SettingKey.h"
#include "common/Settings.h"
#include "common/TerminalText.h"
#include "network/HttpExchange.h"
#include "network/NetworkContextJson.h"
#include "rules/EvaluationReport.h"
#include "rules/FingerprintFileJson.h"
#include "rules/RulesEngine.h"
#include "service/FingerprintFileClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>

namespace nerova {

namespace {

struct Verdict {
    std::optional<Fingerprint> match;
    std::optional<QString> error;
};

// Evaluates `file` against `context` with the real probes and prints the verdict.
QCoro::Task<int> evaluate(FingerprintFile file, NetworkContext context, bool explain, bool json, Console& console)
{
    // The evaluation may end inside a signal of one of the manager's replies: release it later.
    const LaterDeleted<QNetworkAccessManager> network(new QNetworkAccessManager);
    RulesEngine engine(makeSystemProbes(*network));
    RulesEngineEvaluation evaluation;
    Verdict verdict;
    try {
        verdict.match = co_await engine.checkFingerprints(std::move(file), std::move(context), evaluation);
    } catch (const std::exception& error) {
        verdict.error = describeException(error);
    }

    if (json) {
        const Json answer = evaluationVerdictJson(verdict.match, verdict.error, explain ? &evaluation : nullptr);
        console.out() << QString::fromStdString(answer.dump(2)) << '\n';
    } else {
        if (explain) {
            writeEvaluationReport(console.out(), evaluation);
        }
        if (verdict.error) {
            console.error() << "check: evaluation failed: " << printable(*verdict.error) << '\n';
        } else if (verdict.match) {
            console.out() << "Matched fingerprint " << quoted(verdict.match->name) << " (id "
                          << quoted(verdict.match->fingerprintId) << ")\n";
        } else {
            console.out() << "No fingerprint matched\n";
        }
    }
    if (verdict.error) {
        co_return exitcode::evaluation;
    }
    co_return verdict.match ? exitcode::success : exitcode::failure;
}

// One saved snapshot of a batch: the path as given and what it holds.
struct SavedSnapshot {
    QString path;
    NetworkContext context;
};

// Evaluates `file` against every snapshot in turn and prints one line (or one JSON element) each:
// the snapshot, the match or none or the error, and the time the evaluation took.
QCoro::Task<int> evaluateEach(FingerprintFile file, std::vector<SavedSnapshot> snapshots, bool json, Console& console)
{
    const LaterDeleted<QNetworkAccessManager> network(new QNetworkAccessManager);
    RulesEngine engine(makeSystemProbes(*network));
    Json answers = Json::array();
    QStringList lines;
    qsizetype width = 0;
    bool failed = false;
    for (SavedSnapshot& snapshot : snapshots) {
        RulesEngineEvaluation evaluation;
        Verdict verdict;
        QElapsedTimer timer;
        timer.start();
        try {
            QCoro::Task<std::optional<Fingerprint>> check =
                engine.checkFingerprints(file, std::move(snapshot.context), evaluation);
            verdict.match = co_await std::move(check);
        } catch (const std::exception& error) {
            verdict.error = describeException(error);
            failed = true;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        Json answer = evaluationVerdictJson(verdict.match, verdict.error, nullptr);
        answers.push_back({{"snapshot", toStdString(snapshot.path)},
                           {"match", answer["match"]},
                           {"error", answer["error"]},
                           {"seconds", seconds}});
        const QString result =
            verdict.error ? QStringLiteral("error: ") + printable(*verdict.error)
            : verdict.match
                ? QStringLiteral("%1 (id %2)").arg(quoted(verdict.match->name), quoted(verdict.match->fingerprintId))
                : QStringLiteral("none");
        lines << printable(snapshot.path) << result << QStringLiteral("%1 s").arg(seconds, 0, 'f', 3);
        width = std::max(width, lines[lines.size() - 3].size());
    }
    if (json) {
        console.out() << QString::fromStdString(answers.dump(2)) << '\n';
    } else {
        for (qsizetype i = 0; i < lines.size(); i += 3) {
            console.out() << lines[i].leftJustified(width) << "  " << lines[i + 2].rightJustified(9) << "  "
                          << lines[i + 1] << '\n';
        }
    }
    co_return failed ? exitcode::evaluation : exitcode::success;
}

// The *.json files of `folder` sorted by name, or nothing after saying why there are none.
std::optional<QStringList> snapshotsIn(const QString& folder, Console& console)
{
    const QDir dir(folder);
    if (!dir.exists()) {
        console.error() << "cannot read " << folder << ": not a folder\n";
        return std::nullopt;
    }
    QStringList paths;
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::Name)) {
        paths << dir.filePath(name);
    }
    if (paths.isEmpty()) {
        console.error() << folder << ": no *.json snapshot in the folder\n";
        return std::nullopt;
    }
    return paths;
}

// The known setting keys of `bytes` when they hold a JSON object without "fingerprints": a managed
// policy given where a fingerprint file belongs.
QStringList policyKeys(const QByteArray& bytes)
{
    QStringList keys;
    try {
        const Json document = parseJson(bytes);
        if (!document.is_object() || document.contains("fingerprints")) {
            return {};
        }
        for (const auto& [key, value] : document.items()) {
            if (findSettingKey(fromStdString(key))) {
                keys << fromStdString(key);
            }
        }
    } catch (const JsonDecodeError&) {
    }
    return keys;
}

} // namespace

QCoro::Task<int> runCheckCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("check FILE [--stored] [--json] | check FILE (--snapshot SNAPSHOT.json | "
                                         "--live [--no-public-ip | --public-ip-endpoint URL]) [--explain] [--json] | "
                                         "check FILE (--snapshot S1 --snapshot S2 ... | --snapshots DIR) [--json]");
    QCommandLineParser parser;
    const QCommandLineOption stored(QStringLiteral("stored"),
                                    QStringLiteral("Read the stored form (createdAt in whole seconds)."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print as JSON: the decoded file, or the result of an evaluation."));
    const QCommandLineOption live(QStringLiteral("live"),
                                  QStringLiteral("Evaluate the file against the current network."));
    const QCommandLineOption snapshot(QStringLiteral("snapshot"),
                                      QStringLiteral("Evaluate the file against a saved network snapshot (see "
                                                     "'nerova-agent snapshot --json'); given more than once, against "
                                                     "each, printing a table."),
                                      QStringLiteral("SNAPSHOT.json"));
    const QCommandLineOption snapshots(QStringLiteral("snapshots"),
                                       QStringLiteral("Evaluate the file against every *.json snapshot in DIR, in "
                                                      "file name order, printing a table."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption explain(QStringLiteral("explain"),
                                     QStringLiteral("With an evaluation: print every fingerprint, rule and condition "
                                                    "with its values and what its test observed."));
    parser.addOptions({stored, json, live, snapshot, snapshots, explain});
    const PublicIpOptions publicIp(parser);
    if (const auto done = parseCommandArguments(parser, arguments, console, usage, 1)) {
        co_return *done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        co_return usageError(console, QStringLiteral("check needs exactly one FILE"), usage);
    }
    if (int(parser.isSet(live)) + int(parser.isSet(snapshot)) + int(parser.isSet(snapshots)) > 1) {
        co_return usageError(console, QStringLiteral("--live, --snapshot and --snapshots exclude each other"), usage);
    }
    const bool batch = parser.isSet(snapshots) || parser.values(snapshot).size() > 1;
    if (batch && parser.isSet(explain)) {
        co_return usageError(console, QStringLiteral("--explain takes a single snapshot"), usage);
    }
    const bool evaluating = parser.isSet(live) || parser.isSet(snapshot) || batch;
    if (parser.isSet(explain) && !evaluating) {
        co_return usageError(console, QStringLiteral("--explain needs --live or --snapshot"), usage);
    }
    if (publicIp.isSet(parser) && !parser.isSet(live)) {
        co_return usageError(console, QStringLiteral("--no-public-ip and --public-ip-endpoint need --live"), usage);
    }
    std::optional<QUrl> endpoint;
    if (parser.isSet(live)) {
        QString endpointError;
        endpoint = publicIp.endpoint(parser, endpointError);
        if (!endpointError.isEmpty()) {
            co_return usageError(console, endpointError, usage);
        }
    }

    const QString path = positional[0];
    const std::optional<QByteArray> bytes = readInput(path, console);
    if (!bytes) {
        co_return exitcode::usage;
    }
    FingerprintFile decoded;
    try {
        decoded = decodeFingerprintFile(*bytes, parser.isSet(stored) ? TimestampForm::stored : TimestampForm::served);
    } catch (const JsonDecodeError& error) {
        if (const QStringList keys = policyKeys(*bytes); !keys.isEmpty()) {
            console.error() << path << ": this looks like a managed policy, not a fingerprint file (it sets "
                            << printable(keys.join(QStringLiteral(", "))) << "). A policy goes in "
                            << Settings::defaultManagedDirectory()
                            << "/ and 'nerova-agent config list' shows what the agent reads from it; a "
                               "fingerprint file holds a \"fingerprints\" array.\n";
        } else {
            console.error() << path << ": " << printable(error.description()) << '\n';
        }
        co_return exitcode::usage;
    }
    if (!evaluating) {
        if (parser.isSet(json)) {
            console.out() << QString::fromUtf8(encodeFingerprintFile(decoded)) << '\n';
        } else {
            writeFingerprintSummary(console.out(), decoded);
        }
        co_return exitcode::success;
    }

    if (batch) {
        // Every snapshot is read before any is evaluated: bad input ends the command at once.
        const std::optional<QStringList> paths =
            parser.isSet(snapshots) ? snapshotsIn(parser.value(snapshots), console) : parser.values(snapshot);
        if (!paths) {
            co_return exitcode::usage;
        }
        std::vector<SavedSnapshot> saved;
        for (const QString& snapshotPath : *paths) {
            std::optional<NetworkContext> context = readSavedSnapshot(snapshotPath, console);
            if (!context) {
                co_return exitcode::usage;
            }
            saved.push_back({snapshotPath, std::move(*context)});
        }
        co_return co_await evaluateEach(std::move(decoded), std::move(saved), parser.isSet(json), console);
    }
    const std::optional<QString> snapshotPath =
        parser.isSet(snapshot) ? std::optional(parser.value(snapshot)) : std::nullopt;
    std::optional<NetworkContext> context = co_await readSavedOrCurrentNetwork(snapshotPath, endpoint, console);
    if (!context) {
        co_return exitcode::usage;
    }
    co_return co_await evaluate(std::move(decoded), std::move(*context), parser.isSet(explain), parser.isSet(json),
                                console);
}

} // namespace nerova
