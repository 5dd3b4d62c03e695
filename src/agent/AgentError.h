#pragma once

#include "common/Error.h"

#include <QCoro/QCoroTask>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace nerova {

// A step of the agent that cannot run in the agent's present state.
class AgentError final : public Error {
public:
    enum class Case {
        notConfigured,     // no usable "agentEndpoint" or no "registrationKey": "Not configured"
        noAgentIdentifier, // the settings are held by another process and the identifier was never read
    };
    explicit AgentError(Case errorCase) : case_(errorCase) {}
    Case errorCase() const { return case_; }
    QString description() const override
    {
        return case_ == Case::notConfigured ? QStringLiteral("Not configured")
                                            : QStringLiteral("noAgentIdentifier: the user settings are locked by "
                                                             "another process");
    }

private:
    Case case_;
};

// Raised into the agent's coroutines when the agent was destroyed while they waited for one of its
// parts (a request, the secret store): nothing of the agent may be touched any more. Deliberately
// not a std::exception, so that no step's own error handling catches it; the tasks the agent
// starts end quietly on it.
struct AgentGone {};

// Awaits `task` and gives its result or raises its error, or raises AgentGone when the agent that
// `alive` belongs to is gone by then.
template <typename T>
QCoro::Task<T> whileAlive(std::shared_ptr<bool> alive, QCoro::Task<T> task)
{
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await task;
            result = true;
        } else {
            result = co_await task;
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (!*alive) {
        throw AgentGone{};
    }
    if (error) {
        std::rethrow_exception(error);
    }
    if constexpr (!std::is_void_v<T>) {
        co_return std::move(*result);
    }
}

} // namespace nerova
