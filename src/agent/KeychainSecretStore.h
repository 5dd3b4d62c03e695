#pragma once

#include "agent/SecretStore.h"
#include "service/AgentSecret.h"

namespace nerova {

// The agent's secret in the session's credential store. A store that cannot be reached raises
// instead of reading as absent, so that the agent can tell the user.
class KeychainSecretStore final : public SecretStore {
public:
    explicit KeychainSecretStore(AgentSecret secret) : secret_(std::move(secret)) {}

    QCoro::Task<std::optional<QString>> loadSecret() override { return secret_.lookup(); }
    QCoro::Task<void> storeSecret(QString secret) override { return secret_.write(std::move(secret)); }
    QCoro::Task<void> checkStorable() override { return secret_.checkStorable(); }

private:
    AgentSecret secret_;
};

} // namespace nerova
