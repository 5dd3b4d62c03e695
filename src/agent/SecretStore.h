#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

namespace nerova {

// Where the agent keeps the secret the service issued at enrolment. The production store is the
// session's credential store; scenario tests use a stand-in that can be made to fail.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // The stored secret, or absent when there is none; raises AgentSecretError when the store
    // cannot be reached.
    virtual QCoro::Task<std::optional<QString>> loadSecret() = 0;
    // Adds or replaces the secret; raises AgentSecretError when it could not be stored.
    virtual QCoro::Task<void> storeSecret(QString secret) = 0;
    // Raises AgentSecretError unless the store can keep a secret now (it runs, it is unlocked, it
    // takes an item and gives it back); the stored secret is left alone.
    virtual QCoro::Task<void> checkStorable() = 0;
};

} // namespace nerova
