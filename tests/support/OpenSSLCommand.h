#pragma once

#include <QProcess>

namespace nerova::test {

// Runs `openssl arguments...` (scripts/bootstrap installs it) and yields its standard output; on
// failure warns with its error output and yields "<openssl failed>", which no comparison accepts.
inline QByteArray openssl(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("openssl %s: %s", qPrintable(arguments.join(u' ')), process.readAllStandardError().constData());
        return QByteArrayLiteral("<openssl failed>");
    }
    return process.readAllStandardOutput();
}

} // namespace nerova::test
