#include "cli/Command.h"
#include "cli/Commands.h"
#include "cli/CurrentNetwork.h"
#include "cli/FingerprintSummary.h"
#include "common/Json.h"
#include "common/TerminalText.h"
#include "network/HttpExchange.h"
#include "network/NetworkContextJson.h"
#include "rules/EvaluationReport.h"
#include "rules/FingerprintFileJson.h"
#include "rules/RulesEngine.h"
#include "service/FingerprintFileClient.h"

#include <QFile>
#include <QNetworkAccessManager>

namespace nerova {

namespace {

// The whole content of `path` (a pipe too), or nothing after reporting why it cannot be read.
// Input beyond the size cap of a served fingerprint file is refused instead of read on for ever.
std::optional<QByteArray> readInput(const QString& path, Console& console)
{
    constexpr qint64 cap = FingerprintFileClient::maxFileBytes;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        QByteArray bytes;
        while (bytes.size() <= cap) {
            const QByteArray chunk = file.read(cap + 1 - bytes.size());
            if (chunk.isEmpty()) {
                break;
            }
            bytes += chunk;
        }
        if (bytes.size() > cap) {
            console.error() << "cannot read " << path << ": larger than " << cap << " bytes\n";
            return std::nullopt;
        }
        if (file.error() == QFileDevice::NoError) {
            return bytes;
        }
    }
    console.error() << "cannot read " << path << ": " << file.errorString() << '\n';
    return std::nullopt;
}

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

} // namespace

QCoro::Task<int> runCheckCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("check FILE [--stored] [--json] | check FILE (--snapshot SNAPSHOT.json | "
                                         "--live [--no-public-ip | --public-ip-endpoint URL]) [--explain] [--json]");
    QCommandLineParser parser;
    const QCommandLineOption stored(QStringLiteral("stored"),
                                    QStringLiteral("Read the stored form (createdAt in whole seconds)."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print as JSON: the decoded file, or the result of an evaluation."));
    const QCommandLineOption live(QStringLiteral("live"),
                                  QStringLiteral("Evaluate the file against the current network."));
    const QCommandLineOption snapshot(QStringLiteral("snapshot"),
                                      QStringLiteral("Evaluate the file against a saved network snapshot (see "
                                                     "'nerova-agent snapshot --json')."),
                                      QStringLiteral("SNAPSHOT.json"));
    const QCommandLineOption explain(QStringLiteral("explain"),
                                     QStringLiteral("With an evaluation: print every fingerprint, rule and condition "
                                                    "with its values and what its test observed."));
    parser.addOptions({stored, json, live, snapshot, explain});
    const PublicIpOptions publicIp(parser);
    if (const auto done = parseCommandArguments(parser, arguments, console, usage, 1)) {
        co_return *done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        co_return usageError(console, QStringLiteral("check needs exactly one FILE"), usage);
    }
    if (parser.isSet(live) && parser.isSet(snapshot)) {
        co_return usageError(console, QStringLiteral("--live and --snapshot exclude each other"), usage);
    }
    const bool evaluating = parser.isSet(live) || parser.isSet(snapshot);
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
        console.error() << path << ": " << printable(error.description()) << '\n';
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

    NetworkContext context;
    if (parser.isSet(snapshot)) {
        const QString snapshotPath = parser.value(snapshot);
        const std::optional<QByteArray> snapshotBytes = readInput(snapshotPath, console);
        if (!snapshotBytes) {
            co_return exitcode::usage;
        }
        try {
            context = decodeNetworkContext(*snapshotBytes);
        } catch (const JsonDecodeError& error) {
            console.error() << snapshotPath << ": " << printable(error.description()) << '\n';
            co_return exitcode::usage;
        }
    } else {
        const std::unique_ptr<NetworkReader> reader = makeSystemNetworkReader();
        context = co_await readCurrentNetwork(*reader, endpoint, console.err());
    }
    co_return co_await evaluate(std::move(decoded), std::move(context), parser.isSet(explain), parser.isSet(json),
                                console);
}

} // namespace nerova
