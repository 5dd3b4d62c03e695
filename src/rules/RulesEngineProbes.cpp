#include "rules/RulesEngineProbes.h"

#include "common/Error.h"

namespace nerova {

namespace {

// Placeholder until the ICMP and TCP probes exist: every probe fails.
class ProbeUnavailable final : public Error {
public:
    QString description() const override { return QStringLiteral("probeUnavailable"); }
};

class SystemProbes final : public RulesEngineProbes {
public:
    QCoro::Task<double> ping(QString, double) override
    {
        throw ProbeUnavailable();
        co_return 0.0;
    }
    QCoro::Task<QByteArray> receive(QString, quint16) override
    {
        throw ProbeUnavailable();
        co_return {};
    }
};

} // namespace

std::shared_ptr<RulesEngineProbes> makeSystemProbes(Logger) { return std::make_shared<SystemProbes>(); }

} // namespace nerova
