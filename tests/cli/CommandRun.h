#pragma once

#include "cli/CommandLine.h"
#include "common/Await.h"
#include "support/TestSupport.h"

#include <QTest>

// The program's commands run in this process, and the check of what they print.
namespace nerova::test {

struct CommandResult {
    int code = -1;
    QString out;
    QString err;
};

// Runs `nerova-agent` with `arguments`.
inline CommandResult runCommand(const QStringList& arguments)
{
    ConsoleCapture capture;
    Console console(capture.out(), capture.err());
    const int code = await(runCommandLine(QStringList{QStringLiteral("nerova-agent")} + arguments, console));
    return {code, capture.outText(), capture.errText()};
}

// Fails the test unless the command ended with `code`, printed every text of `out` (nothing when
// `out` is empty) and an error holding `err` (none when `err` is empty) of at most two lines.
inline void verifyResult(const CommandResult& result, int code, const QStringList& out, const QString& err)
{
    const QString shown = QStringLiteral("exit %1\nout: %2\nerr: %3").arg(result.code).arg(result.out, result.err);
    QVERIFY2(result.code == code && out.isEmpty() == result.out.isEmpty(), qPrintable(shown));
    for (const QString& text : out) {
        QVERIFY2(result.out.contains(text), qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(text, shown)));
    }
    QVERIFY2(err.isEmpty() ? result.err.isEmpty() : result.err.contains(err) && result.err.count(u'\n') <= 2,
             qPrintable(shown));
}

} // namespace nerova::test
