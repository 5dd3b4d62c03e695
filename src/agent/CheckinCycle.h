#pragma once

#include "agent/MachineState.h"
#include "agent/SecretStore.h"
#include "agent/ServiceConnection.h"
#include "common/Clock.h"
#include "common/Settings.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace nerova {

class Agent;

// The agent's dealings with the service apart from presence: enrolment, check-in, the refresh of
// the fingerprint file, and the access to the service that every signed call needs (with the
// reason when there is none). Owned by the agent, whose properties it updates; its coroutines
// end with AgentGone when the agent is destroyed while they wait.
class CheckinCycle {
public:
    // Everything given must outlive the cycle; `alive` is the agent's.
    CheckinCycle(Agent& agent, Settings& settings, const Clock& clock, const MachineState& machineState,
                 SecretStore& secretStore, ServiceConnection& service, std::shared_ptr<bool> alive);

    // One check-in cycle: enrols first when the agent is not, then checks in; `message` tells
    // the outcome.
    QCoro::Task<void> run();
    // Fetches the fingerprint file (asking for a new address first when it expired) and installs a
    // newer version.
    QCoro::Task<void> refreshFingerprintFile();

    // The credentials of a signed call; absent when something is missing, accessProblem() says what.
    QCoro::Task<std::optional<ServiceCredentials>> serviceAccess();
    // Why the last signed call could not be made; empty when it could.
    const QString& accessProblem() const { return accessProblem_; }
    // An endpoint that is a URL and a registration key are both set.
    bool isConfigured() const;

private:
    // Enrols the agent; raises the enrolment's error, AgentSecretError when the secret cannot be
    // stored (the agent then stays unenrolled), or AgentError::notConfigured.
    QCoro::Task<void> registerAgent();
    // Tells whether a check-in was sent; raises the client's or the enrolment's error.
    QCoro::Task<bool> sendCheckin();
    // The check-in itself. Answered 412, the agent enrols again and, when `mayEnrolAgain`, checks
    // in anew with its new identity; a second 412 raises.
    QCoro::Task<bool> postCheckin(bool mayEnrolAgain);
    // Whether the stored fingerprint address is missing or expired more than a minute ago.
    bool needsNewFingerprintURL() const;
    std::optional<QUrl> endpoint() const;
    // The message after a cycle: "Not configured" while the agent is not, else `problem`.
    void updateMessage(const QString& problem);

    Agent& agent_;
    Settings& settings_;
    const Clock& clock_;
    const MachineState& machineState_;
    SecretStore& secretStore_;
    ServiceConnection& service_;
    std::shared_ptr<bool> alive_;
    QString accessProblem_;
};

} // namespace nerova
