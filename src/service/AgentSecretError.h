#pragma once

#include "common/Error.h"

namespace nerova {

// Why the credential store could not read or write the agent secret. The message says what
// happened in words a user can act on; it never holds the secret.
class AgentSecretError final : public Error {
public:
    enum class Case {
        invalidText,     // the secret is not text that UTF-8 can carry, or the stored data is not UTF-8
        noSessionBus,    // no D-Bus session bus is reachable
        noSecretService, // nothing provides the Secret Service on the session bus
        timedOut,        // the store did not answer in time (for example a locked keyring's prompt)
        failed,          // the store reported an error
    };

    AgentSecretError(Case errorCase, QString message)
        : case_(errorCase)
        , message_(std::move(message))
    {}

    Case errorCase() const { return case_; }
    const QString& message() const { return message_; }
    // For example noSecretService("no Secret Service ...").
    QString description() const override;

private:
    Case case_;
    QString message_;
};

} // namespace nerova
