#include "rules/RulesEngineProbes.h"

#include "network/AsyncConnection.h"
#include "network/SimplePinger.h"

namespace nerova {

namespace {

class SystemProbes final : public RulesEngineProbes {
public:
    // A pinger per ping: one pinger refuses a second ping while one is running.
    QCoro::Task<double> ping(QString hostName, double timeoutSeconds) override
    {
        SimplePinger pinger;
        const double seconds = co_await pinger.ping(std::move(hostName), timeoutSeconds);
        co_return seconds;
    }

    QCoro::Task<QByteArray> receive(QString host, quint16 port) override
    {
        const auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection connection(std::move(host), port);
        connection.connect(stream);
        QByteArray received;
        while (const std::optional<QByteArray> chunk = co_await stream->receive()) {
            received += *chunk;
        }
        co_return received;
    }
};

} // namespace

std::shared_ptr<RulesEngineProbes> makeSystemProbes() { return std::make_shared<SystemProbes>(); }

} // namespace nerova
