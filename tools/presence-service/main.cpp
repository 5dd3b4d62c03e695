#include "tools/presence-service/PresenceService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

using namespace nerova::presence;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nerova-presence-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference presence service for development, the demo and the tests. Plain HTTP: listen on loopback only, "
        "the agent refuses plain HTTP to any other host."));
    parser.addHelpOption();
    const QCommandLineOption fingerprintFile(
        QStringLiteral("fingerprint-file"),
        QStringLiteral("Fingerprint file to serve (re-read when it changes). The package ships a "
                       "sample: /usr/share/nerova-presence-service/fingerprints.json"),
        QStringLiteral("path"));
    const QCommandLineOption registrationKey(QStringLiteral("registration-key"),
                                             QStringLiteral("Key that agents must present to enrol."),
                                             QStringLiteral("key"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port (default 8080; 0 picks a free one)."),
                                  QStringLiteral("port"), QStringLiteral("8080"));
    const QCommandLineOption projectId(QStringLiteral("project-id"), QStringLiteral("Project id handed to agents."),
                                       QStringLiteral("id"), QStringLiteral("project-demo"));
    const QCommandLineOption presenceLog(QStringLiteral("presence-log"),
                                         QStringLiteral("Also append presence reports as JSON lines to this file."),
                                         QStringLiteral("path"));
    const QCommandLineOption urlLifetime(
        QStringLiteral("url-lifetime"),
        QStringLiteral("Seconds a fingerprint-file address stays valid (default 3600)."), QStringLiteral("seconds"),
        QStringLiteral("3600"));
    const QCommandLineOption enableDebug(QStringLiteral("enable-debug"),
                                         QStringLiteral("Answer check-ins with enableDebug true."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not log requests on standard error."));
    parser.addOptions(
        {fingerprintFile, registrationKey, listen, port, projectId, presenceLog, urlLifetime, enableDebug, quiet});
    parser.process(app);

    const auto fail = [](const QString& message) {
        std::fprintf(stderr, "nerova-presence-service: %s\n", qPrintable(message));
        return 2;
    };
    if (!parser.isSet(fingerprintFile) || !parser.isSet(registrationKey)) {
        return fail(QStringLiteral("--fingerprint-file and --registration-key are required (see --help)"));
    }
    if (!QFileInfo(parser.value(fingerprintFile)).isReadable()) {
        return fail(QStringLiteral("cannot read %1").arg(parser.value(fingerprintFile)));
    }
    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    bool lifetimeOk = false;
    const qint64 lifetime = parser.value(urlLifetime).toLongLong(&lifetimeOk);
    const QHostAddress address(parser.value(listen));
    if (!portOk || portNumber > 65535 || !lifetimeOk || lifetime <= 0 || address.isNull()) {
        return fail(QStringLiteral("--port, --url-lifetime or --listen is not valid"));
    }

    PresenceServiceConfig config;
    config.registrationKey = parser.value(registrationKey);
    config.fingerprintFilePath = parser.value(fingerprintFile);
    config.projectId = parser.value(projectId);
    config.urlLifetime = std::chrono::seconds(lifetime);
    config.enableDebug = parser.isSet(enableDebug);
    config.presenceLogPath = parser.value(presenceLog);
    config.echoPresence = true;
    config.logRequests = !parser.isSet(quiet);

    const nerova::SystemClock clock;
    PresenceService service(config, clock);
    if (service.listen(address, quint16(portNumber)) == 0) {
        return fail(QStringLiteral("cannot listen on %1 port %2").arg(address.toString()).arg(portNumber));
    }
    std::fprintf(stderr, "nerova-presence-service listening on %s\n", qPrintable(service.baseUrl().toString()));
    return QCoreApplication::exec();
}
