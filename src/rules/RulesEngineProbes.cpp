#include "rules/RulesEngineProbes.h"

#include "common/DescriptorLimit.h"
#include "common/Limiter.h"
#include "network/AsyncConnection.h"
#include "network/HttpExchange.h"
#include "network/SimplePinger.h"

#include <algorithm>

namespace nerova {

namespace {

// Probes in flight, each holding a socket, may take half of the descriptors left when the probes
// are made; the other half stays for the rest of the agent (web requests, downloads, files, D-Bus).
// Probes beyond that wait for a slot instead of failing with "Too many open files", and their
// window starts once they run.
std::size_t probeSlots() { return std::size_t(std::clamp<std::int64_t>(descriptorsLeft() / 2, 1, 1 << 20)); }

class SystemProbes final : public RulesEngineProbes {
public:
    SystemProbes(QNetworkAccessManager& network, std::chrono::milliseconds webContentTimeout)
        : network_(network), webContentTimeout_(webContentTimeout), slots_(probeSlots())
    {}

    // A pinger per ping: one pinger refuses a second ping while one is running.
    QCoro::Task<double> ping(QString hostName, double timeoutSeconds, CancellationToken cancellation) override
    {
        const Limiter::Permit slot = co_await slots_.acquire(cancellation);
        SimplePinger pinger;
        const double seconds = co_await pinger.ping(std::move(hostName), timeoutSeconds, cancellation);
        co_return seconds;
    }

    QCoro::Task<QByteArray> receive(QString host, quint16 port, CancellationToken cancellation) override
    {
        const Limiter::Permit slot = co_await slots_.acquire(cancellation);
        const auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection connection(std::move(host), port);
        connection.connect(stream, cancellation);
        QByteArray received;
        while (const std::optional<QByteArray> chunk = co_await stream->receive()) {
            received += *chunk;
        }
        co_return received;
    }

    QCoro::Task<HttpResponse> fetch(QUrl url, CancellationToken cancellation) override
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        // The timeout bounds the whole request, so that a server trickling data cannot hold up the check.
        ExchangeOptions options;
        options.deadline = webContentTimeout_;
        options.maxBodyBytes = maxWebContentBytes;
        options.cancellation = std::move(cancellation);
        HttpResponse response = co_await exchange(network_, std::move(request), std::move(options));
        co_return response;
    }

private:
    QNetworkAccessManager& network_;
    std::chrono::milliseconds webContentTimeout_;
    Limiter slots_;
};

} // namespace

std::shared_ptr<RulesEngineProbes> makeSystemProbes(QNetworkAccessManager& network,
                                                    std::chrono::milliseconds webContentTimeout)
{
    return std::make_shared<SystemProbes>(network, webContentTimeout);
}

} // namespace nerova
