// The monitor loop, the daily re-evaluation and the presence report.
#include "core/Agent.h"

#include "core/AgentLog.h"

#include <QCoroSignal>

namespace nerova {

namespace {

std::optional<QString> identifierOf(const std::optional<Fingerprint>& fingerprint)
{
    return fingerprint ? std::optional<QString>(fingerprint->fingerprintId) : std::nullopt;
}

} // namespace

QCoro::Task<void> Agent::monitorLoop(quint64 run)
{
    qCDebug(lcAgent, "Monitor task started");
    // The loop waits on the monitor's stream for the agent's whole life: after each wait it makes
    // sure that the agent still exists and that this loop was not stopped meanwhile.
    const std::shared_ptr<bool> alive = alive_;
    Channel<NetworkContext>& contexts = components_.networkMonitor->networkContextSequence();
    for (;;) {
        std::optional<NetworkContext> next;
        try {
            QCoro::Task<std::optional<NetworkContext>> receiving = contexts.receive();
            next = co_await receiving;
        } catch (const std::exception& error) {
            if (!*alive) {
                co_return;
            }
            qCCritical(lcAgent, "Network context stream failed %s", qUtf8Printable(describeException(error)));
        }
        if (!*alive || monitorTask_ != run) {
            co_return;
        }
        if (!next) {
            monitorTask_.reset();
            co_return;
        }
        qCDebug(lcAgent, "Received new network context");
        QCoro::Task<void> evaluating = evaluate(std::move(*next));
        co_await evaluating;
        emit contextHandled();
    }
}

QCoro::Task<void> Agent::evaluate(NetworkContext context)
{
    LockState& lock = *components_.lockMonitor;
    if (lock.isScreenLocked()) {
        co_return;
    }
    const QDateTime click = lock.lastMouseClick();
    if (click != LockState::distantPast() && !isToday(click, clock_)) {
        co_return;
    }
    setLastPresenceCheck(clock_.now());
    setContext(context);
    if (!fingerprintFile_) {
        co_return;
    }
    // The evaluation and its report use this copy even if a newer file is installed meanwhile.
    const FingerprintFile file = *fingerprintFile_;
    qCDebug(lcAgent, "Checking with rules engine");
    AgentEvaluation& evaluation = lastEvaluation_.emplace();
    evaluation.explanation = RulesEngineEvaluation::outline(file);
    std::optional<QString> failure;
    std::optional<Fingerprint> result;
    try {
        QCoro::Task<std::optional<Fingerprint>> checking =
            components_.rulesEngine->checkFingerprints(file, std::move(context), evaluation.explanation);
        result = co_await checking;
    } catch (const std::exception& error) {
        failure = describeException(error);
    }
    // The record lives in the agent, which outlives every evaluation.
    lastEvaluation_->match = result;
    lastEvaluation_->error = failure;
    if (failure) {
        qCCritical(lcAgent, "Error checking fingerprint %s", qUtf8Printable(*failure));
        co_return;
    }

    if (identifierOf(result) == identifierOf(fingerprint_)) {
        qCDebug(lcAgent, "Fingerprint is unchanged");
        // A report the service did not accept is sent again when the same match comes back.
        if (result && unsentPresence_ && !presenceInFlight_ &&
            unsentPresence_->fingerprint.fingerprintId == result->fingerprintId) {
            QCoro::Task<void> retrying = reportPresence(*result, file.fingerprintVersion);
            co_await retrying;
        }
        co_return;
    }
    setFingerprint(result);
    unsentPresence_.reset();
    if (result) {
        qCDebug(lcAgent, "Found a matching fingerprint");
        QCoro::Task<void> reporting = reportPresence(*result, file.fingerprintVersion);
        co_await reporting;
    }
}

QCoro::Task<void> Agent::reportPresence(Fingerprint fingerprint, qint64 fingerprintVersion)
{
    // One report at a time, so that reports reach the service in the order of the matches.
    while (presenceInFlight_) {
        co_await qCoro(this, &Agent::presenceSendFinished);
    }
    presenceInFlight_ = true;
    const QString id = fingerprint.fingerprintId;
    unsentPresence_.emplace();
    unsentPresence_->fingerprint = fingerprint;
    unsentPresence_->fingerprintVersion = fingerprintVersion;
    // A report that could not be sent yet (the agent lacked its access to the service) waits, like
    // one the service refused, so that a fault of the keyring or of the settings loses no report.
    bool accepted = false;
    try {
        QCoro::Task<bool> sending = sendPresence(std::move(fingerprint), fingerprintVersion);
        accepted = co_await sending;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error sending presence %s", qUtf8Printable(describeException(error)));
    }
    if (accepted && unsentPresence_ && unsentPresence_->fingerprint.fingerprintId == id) {
        unsentPresence_.reset();
    }
    presenceInFlight_ = false;
    emit presenceSendFinished();
}

QCoro::Task<void> Agent::retryUnsentPresence()
{
    if (!unsentPresence_ || presenceInFlight_) {
        co_return;
    }
    const UnsentPresence unsent = *unsentPresence_;
    QCoro::Task<void> reporting = reportPresence(unsent.fingerprint, unsent.fingerprintVersion);
    co_await reporting;
}

void Agent::checkTimeOfDay()
{
    retryUnsentPresence();

    LockState& lock = *components_.lockMonitor;
    if (lastPresenceCheck_.isValid() && isToday(lastPresenceCheck_, clock_)) {
        qCDebug(lcAgent, "Already checked presence today");
        return;
    }
    if (lock.isScreenLocked()) {
        qCDebug(lcAgent, "Screen is locked");
        return;
    }
    // Before the first click of the day (or since start) nothing is forced.
    if (!isToday(lock.lastMouseClick(), clock_)) {
        qCDebug(lcAgent, "No mouse move today");
        return;
    }
    setFingerprint(std::nullopt);
    refresh();
}

QCoro::Task<bool> Agent::sendPresence(Fingerprint fingerprint, qint64 fingerprintVersion)
{
    QCoro::Task<std::optional<ServiceAccess>> gathering = serviceAccess();
    const std::optional<ServiceAccess> access = co_await gathering;
    if (!access) {
        co_return false;
    }
    AgentPresenceRequest request;
    request.timestamp = clock_.now();
    request.fingerprintId = fingerprint.fingerprintId;
    request.fingerprintVersion = fingerprintVersion;
    request.locationPoint = fingerprint.locationPoint;
    const QString agentId = settings_.agentIdentifier();
    QCoro::Task<void> posting = components_.service->postPresence(
        access->endpoint, access->secret, agentId, std::move(request), access->projectId, access->instanceId);
    co_await posting;
    setLastPresenceSend(clock_.now());
    co_return true;
}

} // namespace nerova
