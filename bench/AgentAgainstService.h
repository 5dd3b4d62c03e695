#pragma once

// `nerova-agent run` as a process against the reference presence service, for the agent's
// benchmarks: a veth pair in the caller's network namespace, a served file with the fingerprints
// "lab" (a web page from a loopback server that accepts and never answers: a slow probe that must
// not hold the reports back), "a" and "b" (an internal address in `rangeA` or `rangeB`), the agent's settings pointing
// at the service, and the agent started with its debug lines off and its log in a scratch file, then given time to
// enrol, check in, install its file and evaluate the first context.
#include "EventLoopWaits.h"
#include "common/Settings.h"
#include "support/FingerprintFiles.h"
#include "support/PrivateNetwork.h"
#include "tools/presence-service/PresenceService.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace nerova::bench {

struct AgentAgainstService {
    QTemporaryDir dir;
    SystemClock clock;
    std::unique_ptr<presence::PresenceService> service;
    QProcess agent;
    QString agentId;
    QTcpServer silent; // takes every connection and sends nothing

    // Sets everything up, starts the agent and waits until it has settled; the problem when
    // something could not be done.
    std::optional<QString> start(const QString& link, const char* rangeA, const char* rangeB)
    {
        if (std::optional<QString> failure = test::addVethPair(link, link + u'p')) {
            return failure;
        }
        if (!silent.listen(QHostAddress::LocalHost)) {
            return QStringLiteral("the silent web server cannot listen");
        }
        QObject::connect(&silent, &QTcpServer::newConnection, &silent, [this] {
            while (QTcpSocket* connection = silent.nextPendingConnection()) {
                QObject::connect(connection, &QTcpSocket::disconnected, connection, &QObject::deleteLater);
            }
        });
        const QByteArray lab =
            R"({"fingerprintId":"lab","name":"lab","locationPoint":{"locationId":"site-lab"},"rules":[{"name":"Page",)"
            R"("conditions":[{"type":"webContent","arguments":[{"name":"url","value":"http://127.0.0.1:)" +
            QByteArray::number(silent.serverPort()) +
            R"(/"},{"name":"match","value":"lab"}],"rules":[],"inverted":false}]}]})";
        QFile served(dir.filePath(QStringLiteral("served.json")));
        const QByteArray file = test::fingerprintFile(
            1, {lab, test::internalIpFingerprint("a", rangeA), test::internalIpFingerprint("b", rangeB)});
        if (!served.open(QIODevice::WriteOnly) || served.write(file) < 0) {
            return QStringLiteral("cannot write the fingerprint file");
        }
        served.close();
        presence::PresenceServiceConfig config;
        config.registrationKey = QStringLiteral("bench-key");
        config.fingerprintFilePath = served.fileName();
        service = std::make_unique<presence::PresenceService>(config, clock);
        if (service->listen(QHostAddress::LocalHost, 0) == 0) {
            return QStringLiteral("the presence service cannot listen");
        }
        {
            Settings settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory());
            settings.setText(QString::fromLatin1(settingskey::agentEndpoint), service->baseUrl().toString());
            settings.setText(QString::fromLatin1(settingskey::registrationKey), config.registrationKey);
            settings.setText(QString::fromLatin1(settingskey::publicIpEndpoint),
                             service->baseUrl().toString() + QStringLiteral("/?format=json"));
            agentId = settings.agentIdentifier();
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
        agent.setProcessEnvironment(environment);
        agent.setStandardErrorFile(dir.filePath(QStringLiteral("agent.log")));
        agent.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("run")});
        if (!agent.waitForStarted()) {
            return QStringLiteral("nerova-agent run did not start");
        }
        return settle();
    }

private:
    // Waits until the agent has enrolled, checked in, installed its file and evaluated the first
    // context; the problem when it did not.
    std::optional<QString> settle()
    {
        if (!runUntil([&] { return service->checkins().size() >= 2; }, 30'000, 5)) {
            return QStringLiteral("the agent did not enrol and check in");
        }
        runEventLoopFor(7000);
        return std::nullopt;
    }
};

} // namespace nerova::bench
