#include "support/OpenSSLCommand.h"

#include <QProcess>

namespace nerova::test {

QByteArray openssl(const QStringList& arguments)
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
