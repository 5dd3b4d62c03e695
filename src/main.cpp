#include "cli/CommandLine.h"
#include "common/Await.h"
#include "common/DescriptorLimit.h"
#include "common/LogHandler.h"
#include "ui/DesktopMain.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

// No command (besides --verbose) starts the desktop agent.
bool isDesktopLaunch(int argc, char* argv[], bool& verbose)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") != 0) {
            return false;
        }
        verbose = true;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    nerova::raiseDescriptorLimit(); // probes, requests and files all take descriptors
    nerova::installLogHandler();
    bool verbose = false;
    if (isDesktopLaunch(argc, argv, verbose)) {
        if (verbose) {
            nerova::enableVerboseLogging();
        }
        return nerova::runDesktopAgent(argc, argv);
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Nerova"));
    QCoreApplication::setApplicationName(QStringLiteral("NerovaAgent"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    nerova::Console console(out, err);
    const int code = nerova::await(nerova::runCommandLine(QCoreApplication::arguments(), console));
    // Objects released later (a command's network access manager, whose thread may still be
    // starting when an evaluation answered early) go while the application is still there.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    out.flush();
    err.flush();
    return code;
}
