#pragma once

#include "service/AgentSecretError.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

namespace nerova {

// The one credential-store item that holds the secret the service issued at enrolment: a generic
// password with service "app.nerova.nerovaagent" and key "agentSecret", kept in the desktop
// session's Secret Service. There is no fallback to a plain file. Every call is bounded by
// `timeout`, because a locked keyring can raise a prompt that nobody answers.
class AgentSecret {
public:
    static constexpr const char* service = "app.nerova.nerovaagent";
    static constexpr const char* key = "agentSecret";
    static constexpr const char* probeKey = "storeProbe";

    explicit AgentSecret(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The stored secret; absent when there is none and on any failure (logged).
    QCoro::Task<std::optional<QString>> read();
    // Adds the item or replaces its data; raises AgentSecretError on failure (also logged).
    QCoro::Task<void> write(QString secret);
    // Deletes the item; nothing happens when there is none. Raises AgentSecretError on failure.
    QCoro::Task<void> remove();
    // Like read(), but a failure raises AgentSecretError instead of reading as absent.
    QCoro::Task<std::optional<QString>> lookup();
    // Writes, reads back and deletes a probe item (key "storeProbe" of the same service); raises
    // AgentSecretError when the store cannot keep an item now. The secret's item is left alone.
    QCoro::Task<void> checkStorable();

private:
    std::chrono::milliseconds timeout_;
};

} // namespace nerova
