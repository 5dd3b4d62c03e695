#include "common/Json.h"
#include "core/Command.h"
#include "core/Commands.h"
#include "core/FingerprintSummary.h"
#include "rules/FingerprintFileJson.h"

#include <QFile>

namespace nerova {

QCoro::Task<int> runCheckCommand(QStringList arguments, Console& console)
{
    const QString usage = QStringLiteral("check FILE [--stored] [--json]");
    QCommandLineParser parser;
    const QCommandLineOption stored(QStringLiteral("stored"),
                                    QStringLiteral("Read the stored form (createdAt in whole seconds)."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the decoded file as JSON."));
    parser.addOptions({stored, json});
    if (const auto done = parseCommandArguments(parser, arguments, console, usage)) {
        co_return *done;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        console.err() << "nerova-agent: check needs exactly one FILE\nUsage: nerova-agent " << usage << '\n';
        co_return exitcode::usage;
    }
    const QString path = positional[0];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        console.err() << "nerova-agent: cannot read " << path << ": " << file.errorString() << '\n';
        co_return exitcode::usage;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        console.err() << "nerova-agent: cannot read " << path << ": " << file.errorString() << '\n';
        co_return exitcode::usage;
    }
    try {
        const FingerprintFile decoded =
            decodeFingerprintFile(bytes, parser.isSet(stored) ? TimestampForm::stored : TimestampForm::served);
        if (parser.isSet(json)) {
            console.out() << QString::fromUtf8(encodeFingerprintFile(decoded)) << '\n';
        } else {
            writeFingerprintSummary(console.out(), decoded);
        }
    } catch (const JsonDecodeError& error) {
        console.err() << "nerova-agent: " << path << ": " << error.description() << '\n';
        co_return exitcode::usage;
    }
    co_return exitcode::success;
}

} // namespace nerova
