// The monitor loop, the daily re-evaluation and the presence report.
#include "agent/Agent.h"

#include "agent/AgentLog.h"

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
        try {
            QCoro::Task<void> evaluating = evaluate(std::move(*next));
            co_await evaluating;
        } catch (const AgentGone&) {
            co_return;
        }
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
    lastEvaluation_.emplace().explanation = RulesEngineEvaluation::outline(file);
    // The engine fills in this frame's record, which lives as long as the engine's work even if the
    // agent does not.
    RulesEngineEvaluation explanation = RulesEngineEvaluation::outline(file);
    std::optional<QString> failure;
    std::optional<Fingerprint> result;
    try {
        QCoro::Task<std::optional<Fingerprint>> checking =
            whileAlive(alive_, components_.rulesEngine->checkFingerprints(file, std::move(context), explanation));
        result = co_await checking;
    } catch (const std::exception& error) {
        failure = describeException(error);
    }
    lastEvaluation_->explanation = std::move(explanation);
    lastEvaluation_->match = result;
    lastEvaluation_->error = failure;
    if (failure) {
        qCCritical(lcAgent, "Error checking fingerprint %s", qUtf8Printable(*failure));
        co_return;
    }

    if (identifierOf(result) == identifierOf(fingerprint_)) {
        qCDebug(lcAgent, "Fingerprint is unchanged");
        // A report the service did not accept is sent again when the same match comes back.
        if (result && unsentPresence_ && unsentPresence_->fingerprint.fingerprintId == result->fingerprintId) {
            QCoro::Task<void> retrying = retryUnsentPresence();
            co_await retrying;
        }
        co_return;
    }
    setFingerprint(result);
    unsentPresence_.reset(); // given up: the user is elsewhere now
    clearPresenceProblem();
    if (result) {
        qCDebug(lcAgent, "Found a matching fingerprint");
        UnsentPresence report;
        report.fingerprint = *result;
        report.request.timestamp = clock_.now();
        report.request.fingerprintId = result->fingerprintId;
        report.request.fingerprintVersion = file.fingerprintVersion;
        report.request.locationPoint = result->locationPoint;
        QCoro::Task<void> reporting = reportPresence(std::move(report));
        co_await reporting;
    }
}

QCoro::Task<void> Agent::reportPresence(UnsentPresence report)
{
    // One report at a time, so that reports reach the service in the order of the matches.
    while (presenceInFlight_) {
        co_await qCoro(this, &Agent::presenceSendFinished);
    }
    presenceInFlight_ = true;
    const QString id = report.fingerprint.fingerprintId;
    unsentPresence_ = report;
    // A report that could not be sent yet (the agent lacked its access to the service) waits, like
    // one the service refused, so that a fault of the keyring or of the settings loses no report.
    bool accepted = false;
    std::optional<QString> problem;
    try {
        QCoro::Task<bool> sending = sendPresence(std::move(report.request));
        accepted = co_await sending;
        if (!accepted) {
            problem = isConfigured() ? accessProblem_ : QString::fromLatin1(notConfiguredMessage);
        }
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error sending presence %s", qUtf8Printable(describeException(error)));
        problem = QStringLiteral("Presence report failed: %1").arg(describeException(error));
    }
    if (accepted && unsentPresence_ && unsentPresence_->fingerprint.fingerprintId == id) {
        unsentPresence_.reset();
    }
    // The user learns at once why a report waits, and that it went out once it has.
    if (problem) {
        presenceProblem_ = *problem;
        setMessage(*problem);
    } else {
        clearPresenceProblem();
    }
    presenceInFlight_ = false;
    emit presenceSendFinished();
}

QCoro::Task<void> Agent::retryUnsentPresence()
{
    if (!unsentPresence_ || presenceInFlight_) {
        co_return;
    }
    QCoro::Task<void> reporting = reportPresence(*unsentPresence_);
    co_await reporting;
}

void Agent::clearPresenceProblem()
{
    if (!presenceProblem_.isEmpty() && message_ == presenceProblem_) {
        setMessage(QString());
    }
    presenceProblem_.clear();
}

void Agent::checkTimeOfDay()
{
    untilGone(retryUnsentPresence());

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

QCoro::Task<bool> Agent::sendPresence(AgentPresenceRequest request)
{
    QCoro::Task<std::optional<ServiceAccess>> gathering = serviceAccess();
    const std::optional<ServiceAccess> access = co_await gathering;
    if (!access) {
        co_return false;
    }
    const QString agentId = settings_.agentIdentifier();
    QCoro::Task<void> posting = whileAlive(
        alive_, components_.service->postPresence(access->endpoint, access->secret, agentId, std::move(request),
                                                  access->projectId, access->instanceId));
    co_await posting;
    setLastPresenceSend(clock_.now());
    co_return true;
}

} // namespace nerova
