#pragma once

#include "common/CancellationToken.h"
#include "common/Channel.h"
#include "network/IcmpSocketApi.h"
#include "network/PingError.h"
#include "network/SimplePing.h"
#include "network/SimplePingDelegate.h"

#include <QCoro/QCoroTask>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace nerova {

// One ICMP echo at a time: ping() starts an engine, sends one request and yields the time to the
// reply. The timeout runs from the call, so resolving the host name counts against it: a resolver
// that never answers cannot hold a ping longer than its timeout.
// The pinger must outlive a ping() in progress.
class SimplePinger : private SimplePingDelegate {
public:
    // `sockets`: replaced by tests.
    explicit SimplePinger(std::shared_ptr<IcmpSocketApi> sockets = systemIcmpSocketApi());
    ~SimplePinger() override;
    SimplePinger(const SimplePinger&) = delete;
    SimplePinger& operator=(const SimplePinger&) = delete;

    // Seconds from request to reply; raises PingError. Once `cancellation` is cancelled the ping
    // ends as a timeout does, closing its socket, and raises OperationCancelled.
    QCoro::Task<double> ping(QString hostName, double timeoutSeconds, CancellationToken cancellation = {});

    // True when no ping is in progress: no engine, no timer and no pending wait.
    bool isIdle() const { return !pinger_ && !continuation_ && !timer_.isActive(); }

private:
    void didStartWithAddress(SimplePing& ping, const QHostAddress& address) override;
    void didFailWithError(SimplePing& ping, const SimplePingError& error) override;
    void didSendPacket(SimplePing& ping, const QByteArray& packet, quint16 sequenceNumber) override;
    void didFailToSendPacket(SimplePing& ping, const QByteArray& packet, quint16 sequenceNumber,
                             const SimplePingError& error) override;
    void didReceivePingResponsePacket(SimplePing& ping, const QByteArray& packet, quint16 sequenceNumber) override;
    void didReceiveUnexpectedPacket(SimplePing& ping, const QByteArray& packet) override;

    void startTimerIfNeeded();
    // Delivers the result of the ping in progress, once.
    void complete(double seconds);
    void fail(const PingError& error);
    void fail(std::exception_ptr error);

    std::shared_ptr<IcmpSocketApi> sockets_;
    std::unique_ptr<SimplePing> pinger_;
    QTimer timer_;
    double timeout_ = 2.0;
    std::shared_ptr<Channel<double>> continuation_; // present while a result is awaited
    std::optional<std::chrono::steady_clock::time_point> startTime_;
};

} // namespace nerova
