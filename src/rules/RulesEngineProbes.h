#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>

#include <memory>

namespace nerova {

// The active probes that ping and TCP conditions run. The engine reaches them through this
// interface so that tests can stand in for the network.
class RulesEngineProbes {
public:
    virtual ~RulesEngineProbes() = default;

    // One ICMP echo to `hostName` with a fresh pinger: the round-trip time in seconds, or raises
    // when there is no answer within `timeoutSeconds` or the host is unknown.
    virtual QCoro::Task<double> ping(QString hostName, double timeoutSeconds) = 0;

    // Connects to `host`:`port` and yields every byte received, chunks joined in arrival order,
    // once the connection's stream ends normally; raises when the stream ends with an error.
    virtual QCoro::Task<QByteArray> receive(QString host, quint16 port) = 0;
};

// The real probes: a fresh ICMP pinger per ping and a TCP connection per receive. They share one
// limit: at most half of the descriptors left when they are made are in use by probes at once;
// others wait their turn.
std::shared_ptr<RulesEngineProbes> makeSystemProbes();

} // namespace nerova
