#include "rules/RulesEngineProbes.h"

#include "network/AsyncConnection.h"
#include "network/SimplePinger.h"

namespace nerova {

namespace {

constexpr const char* probeSubsystem = "com.nerova.NerovaAgent";

class SystemProbes final : public RulesEngineProbes {
public:
    explicit SystemProbes(Logger logger)
        : pingerLogger_(logger.withCategory(QString::fromLatin1(probeSubsystem), QStringLiteral("SimplePinger"))),
          connectionLogger_(logger.withCategory(QString::fromLatin1(probeSubsystem), QStringLiteral("AsyncConnection")))
    {}

    // A pinger per ping: one pinger refuses a second ping while one is running.
    QCoro::Task<double> ping(QString hostName, double timeoutSeconds) override
    {
        SimplePinger pinger(pingerLogger_);
        const double seconds = co_await pinger.ping(std::move(hostName), timeoutSeconds);
        co_return seconds;
    }

    QCoro::Task<QByteArray> receive(QString host, quint16 port) override
    {
        const auto stream = std::make_shared<Channel<QByteArray>>();
        AsyncConnection connection(std::move(host), port, connectionLogger_);
        connection.connect(stream);
        QByteArray received;
        while (const std::optional<QByteArray> chunk = co_await stream->receive()) {
            received += *chunk;
        }
        co_return received;
    }

private:
    Logger pingerLogger_;
    Logger connectionLogger_;
};

} // namespace

std::shared_ptr<RulesEngineProbes> makeSystemProbes(Logger logger)
{
    return std::make_shared<SystemProbes>(std::move(logger));
}

} // namespace nerova
