#pragma once

#include "agent/ServiceConnection.h"
#include "common/Clock.h"
#include "rules/FingerprintFile.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <memory>
#include <optional>

namespace nerova {

class Agent;
class CheckinCycle;

// The agent's presence reports: one at a time, in the order of the matches. A report the service
// did not accept, or that could not be sent yet, waits unchanged for its next try, and `message`
// says why meanwhile. Owned by the agent, whose properties it updates; its coroutines end with
// AgentGone when the agent is destroyed while they wait.
class PresenceReporter {
public:
    // Everything given must outlive the reporter; `alive` is the agent's.
    PresenceReporter(Agent& agent, const Clock& clock, CheckinCycle& access, ServiceConnection& service,
                     std::shared_ptr<bool> alive);

    // Reports the new match `fingerprint` of the file of version `fingerprintVersion`.
    QCoro::Task<void> report(const Fingerprint& fingerprint, qint64 fingerprintVersion);
    // Sends the waiting report again, if any and none is under way.
    QCoro::Task<void> retry();
    // Sends the waiting report again when it is for `fingerprintId`.
    QCoro::Task<void> retryFor(const QString& fingerprintId);
    // Gives the waiting report up: the user is elsewhere now.
    void giveUp();
    // A report waits to be sent again.
    bool hasUnsent() const { return unsent_.has_value(); }

private:
    // A report keeps the body of its first attempt, so that a service that stored an attempt whose
    // answer was lost can recognise the next one as a repeat.
    struct UnsentPresence {
        Fingerprint fingerprint;
        AgentPresenceRequest request;
    };

    QCoro::Task<void> send(UnsentPresence report);
    // Sends the presence report `request`; tells whether it was sent (not without the service
    // access: not configured, not enrolled, no secret store, unreadable settings); raises the
    // client's error.
    QCoro::Task<bool> sendPresence(AgentPresenceRequest request);
    // Clears `message` when it tells why a report waits.
    void clearProblem();

    Agent& agent_;
    const Clock& clock_;
    CheckinCycle& access_;
    ServiceConnection& service_;
    std::shared_ptr<bool> alive_;
    std::optional<UnsentPresence> unsent_;
    bool inFlight_ = false;
    QString problem_; // what held the last report back, while `message` shows it
};

} // namespace nerova
