#pragma once

#include "common/CancellationToken.h"
#include "network/HttpResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

namespace nerova {

// What ping, TCP and web-content conditions reach on the network. The engine goes through this
// interface so that tests can stand in for the network. Every probe watches `cancellation`: once
// it is cancelled, the probe stops at once (closes its socket, stops its timers, leaves the queue
// for a descriptor) and raises OperationCancelled, which is no failure and is never logged.
class RulesEngineProbes {
public:
    static constexpr std::chrono::milliseconds defaultWebContentTimeout{10'000};
    // A web page larger than this fails the condition instead of filling the memory.
    static constexpr qint64 maxWebContentBytes = 16 * 1024 * 1024;

    virtual ~RulesEngineProbes() = default;

    // One ICMP echo to `hostName` with a fresh pinger: the round-trip time in seconds, or raises
    // when there is no answer within `timeoutSeconds` or the host is unknown.
    virtual QCoro::Task<double> ping(QString hostName, double timeoutSeconds, CancellationToken cancellation) = 0;

    // Connects to `host`:`port` and yields every byte received, chunks joined in arrival order,
    // once the connection's stream ends normally; raises when the stream ends with an error.
    virtual QCoro::Task<QByteArray> receive(QString host, quint16 port, CancellationToken cancellation) = 0;

    // One GET of the web address `url` that no cache answers, redirects followed: the answer with
    // whatever status it has, or raises URLLoadingError when there is none (no connection, no
    // complete answer within the timeout, a body larger than maxWebContentBytes).
    virtual QCoro::Task<HttpResponse> fetch(QUrl url, CancellationToken cancellation) = 0;
};

// The real probes: a fresh ICMP pinger per ping, a TCP connection per receive and requests through
// `network`, the process's shared access manager, which must outlive them. Pings and connections
// share one limit: at most half of the descriptors left when the probes are made are in use by
// them at once; others wait their turn. `webContentTimeout` bounds each fetch as a whole.
std::shared_ptr<RulesEngineProbes>
makeSystemProbes(QNetworkAccessManager& network,
                 std::chrono::milliseconds webContentTimeout = RulesEngineProbes::defaultWebContentTimeout);

} // namespace nerova
