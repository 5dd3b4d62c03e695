#include "common/Await.h"
#include "common/LogHandler.h"
#include "core/CommandLine.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    nerova::installLogHandler();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Nerova"));
    QCoreApplication::setApplicationName(QStringLiteral("NerovaAgent"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    nerova::Console console(out, err);
    const int code = nerova::await(nerova::runCommandLine(QCoreApplication::arguments(), console));
    out.flush();
    err.flush();
    return code;
}
