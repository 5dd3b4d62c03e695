#pragma once

#include "common/Error.h"

namespace nerova {

// A step of the agent that cannot run in the agent's present state.
class AgentError final : public Error {
public:
    enum class Case {
        notConfigured, // no usable "agentEndpoint" or no "registrationKey": "Not configured"
    };
    explicit AgentError(Case errorCase) : case_(errorCase) {}
    Case errorCase() const { return case_; }
    QString description() const override { return QStringLiteral("Not configured"); }

private:
    Case case_;
};

} // namespace nerova
