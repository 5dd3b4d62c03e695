#include "network/SimplePinger.h"

#include "network/SimplePingError.h"

#include <QLoggingCategory>

#include <climits>
#include <cmath>

namespace nerova {

Q_LOGGING_CATEGORY(lcSimplePinger, "nerova.SimplePinger", QtInfoMsg)

SimplePinger::SimplePinger(std::shared_ptr<IcmpSocketApi> sockets) : sockets_(std::move(sockets))
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5 % late
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        timer_.stop();
        fail(PingError(PingError::Case::timedOut));
    });
}

SimplePinger::~SimplePinger() = default;

QCoro::Task<double> SimplePinger::ping(QString hostName, double timeoutSeconds, CancellationToken cancellation)
{
    if (continuation_ || pinger_) {
        throw PingError(PingError::Case::alreadyPinging);
    }
    cancellation.throwIfCancelled();
    timeout_ = timeoutSeconds;
    // The wait exists before the engine starts, and keeps a result that comes before anyone awaits it.
    const auto result = std::make_shared<Channel<double>>();
    continuation_ = result;
    startTime_.reset();
    pinger_ = std::make_unique<SimplePing>(hostName, sockets_);
    pinger_->setDelegate(this);
    startTimerIfNeeded(); // the window includes resolving the host name
    // Ends the wait the way the timer does; the engine and the timer go below.
    const CancellationToken::Registration cancelled =
        cancellation.onCancel([this] { fail(std::make_exception_ptr(OperationCancelled())); });
    pinger_->start();
    qCDebug(lcSimplePinger, "Pinging %s", qUtf8Printable(hostName));

    std::exception_ptr error;
    std::optional<double> seconds;
    try {
        seconds = co_await result->receive();
    } catch (...) {
        error = std::current_exception();
    }
    // Resumed from the event loop, so no engine call is on the stack and the engine may go.
    continuation_.reset();
    timer_.stop();
    pinger_.reset();
    startTime_.reset();
    if (error) {
        std::rethrow_exception(error);
    }
    co_return seconds.value_or(0.0);
}

void SimplePinger::startTimerIfNeeded()
{
    if (timer_.isActive()) {
        return;
    }
    const double milliseconds = timeout_ * 1000.0;
    timer_.start(std::isnan(milliseconds) || milliseconds <= 0 ? 0
                 : milliseconds >= double(INT_MAX)             ? INT_MAX
                                                               : int(std::ceil(milliseconds)));
}

void SimplePinger::complete(double seconds)
{
    if (const auto continuation = std::exchange(continuation_, nullptr)) {
        continuation->send(seconds);
    }
}

void SimplePinger::fail(const PingError& error) { fail(std::make_exception_ptr(error)); }

void SimplePinger::fail(std::exception_ptr error)
{
    if (const auto continuation = std::exchange(continuation_, nullptr)) {
        continuation->fail(std::move(error));
    }
}

void SimplePinger::didStartWithAddress(SimplePing& ping, const QHostAddress&)
{
    startTimerIfNeeded();
    ping.sendPing();
}

void SimplePinger::didFailWithError(SimplePing&, const SimplePingError& error)
{
    fail(PingError::failed(error.description()));
}

void SimplePinger::didSendPacket(SimplePing&, const QByteArray&, quint16)
{
    startTime_ = std::chrono::steady_clock::now();
    startTimerIfNeeded();
}

void SimplePinger::didFailToSendPacket(SimplePing&, const QByteArray&, quint16, const SimplePingError& error)
{
    fail(PingError::failed(error.description()));
}

void SimplePinger::didReceivePingResponsePacket(SimplePing&, const QByteArray&, quint16)
{
    if (!startTime_) {
        fail(PingError(PingError::Case::endWithoutStart));
        return;
    }
    complete(std::chrono::duration<double>(std::chrono::steady_clock::now() - *startTime_).count());
}

void SimplePinger::didReceiveUnexpectedPacket(SimplePing&, const QByteArray&)
{
    fail(PingError(PingError::Case::unexpectedPacket));
}

} // namespace nerova
