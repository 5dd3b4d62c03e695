#include "agent/Agent.h"

#include "agent/AgentLog.h"
#include "agent/CheckinCycle.h"
#include "agent/PresenceReporter.h"
#include "agent/ReportingPolicy.h"

#include <QFileInfo>

namespace nerova {

Q_LOGGING_CATEGORY(lcAgent, "nerova.Agent", QtInfoMsg)

namespace {

std::optional<QString> identifierOf(const std::optional<Fingerprint>& fingerprint)
{
    return fingerprint ? std::optional<QString>(fingerprint->fingerprintId) : std::nullopt;
}

std::unique_ptr<QTimer> repeatingTimer(std::chrono::milliseconds interval, Agent* agent, void (Agent::*action)())
{
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(interval);
    QObject::connect(timer.get(), &QTimer::timeout, agent, action);
    timer->start();
    return timer;
}

} // namespace

Agent::Agent(AgentComponents components, Settings& settings, const Clock& clock, AgentIntervals intervals,
             QObject* parent)
    : QObject(parent),
      components_(std::move(components)),
      settings_(settings),
      clock_(clock),
      intervals_(intervals),
      registered_(settings.flag(QString::fromLatin1(settingskey::isRegistered))),
      checkinCycle_(std::make_unique<CheckinCycle>(*this, settings, clock, *components_.machineState,
                                                   *components_.secretStore, *components_.service, alive_)),
      presenceReporter_(std::make_unique<PresenceReporter>(*this, clock, *checkinCycle_, *components_.service, alive_)),
      reportingPolicy_(std::make_unique<ReportingPolicy>(settings, clock))
{
    connect(reportingPolicy_.get(), &ReportingPolicy::stateChanged, this,
            [this](ReportingPolicy::State previous) { reportingStateChanged(int(previous)); });
    // The settings file is replaced on every write, so its folder is what can be watched.
    connect(&settingsWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        noteRegistration();
        // The writer may still hold the settings when its change is seen: look again once it is done.
        QTimer::singleShot(std::chrono::milliseconds(500), this, &Agent::noteRegistration);
    });
    noteRegistration();
}

Agent::~Agent() { *alive_ = false; }

QCoro::Task<void> Agent::untilGone(QCoro::Task<void> work)
{
    try {
        co_await work;
    } catch (const AgentGone&) {
    }
}

void Agent::start()
{
    if (monitorTask_) {
        return;
    }
    const quint64 run = ++runs_;
    monitorTask_ = run;
    monitorLoop(run);
    checkinTimer_ = repeatingTimer(intervals_.checkin, this, &Agent::checkin);
    fingerprintCheckTimer_ = repeatingTimer(intervals_.fingerprintCheck, this, &Agent::checkFingerprintFile);
    timeOfDayTimer_ = repeatingTimer(intervals_.timeOfDay, this, &Agent::checkTimeOfDay);
    checkFingerprintFile();
    checkin();
}

void Agent::stop()
{
    checkinTimer_.reset();
    fingerprintCheckTimer_.reset();
    timeOfDayTimer_.reset();
    monitorTask_.reset();
    components_.lockMonitor->detach();
    emit stopped();
}

void Agent::refresh() { components_.networkMonitor->sendInterfaceChange(); }

void Agent::checkin()
{
    if (checkinTask_) {
        return;
    }
    // Recorded before the task starts: a cycle that ends at once clears it again.
    const quint64 run = ++runs_;
    checkinTask_ = run;
    checkinTaskBody(run);
}

void Agent::checkFingerprintFile()
{
    if (fingerprintCheckTask_) {
        return;
    }
    const quint64 run = ++runs_;
    fingerprintCheckTask_ = run;
    fingerprintCheckTaskBody(run);
}

QCoro::Task<void> Agent::checkinTaskBody(quint64 run)
{
    try {
        co_await checkinCycle_->run();
    } catch (const AgentGone&) {
        co_return;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "error during check in %s", qUtf8Printable(describeException(error)));
    }
    if (checkinTask_ == run) {
        checkinTask_.reset();
    }
    emit checkinFinished();
}

QCoro::Task<void> Agent::fingerprintCheckTaskBody(quint64 run)
{
    try {
        co_await checkinCycle_->refreshFingerprintFile();
    } catch (const AgentGone&) {
        co_return;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error checking fingerprint eTag %s", qUtf8Printable(describeException(error)));
    }
    if (fingerprintCheckTask_ == run) {
        fingerprintCheckTask_.reset();
    }
    emit fingerprintCheckFinished();
}

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
    reportingPolicy_->update();
    if (!reportingPolicy_->isReporting()) {
        qCDebug(lcAgent, "Not reporting now: %s", qUtf8Printable(reportingPolicy_->notice()));
        co_return;
    }
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

    if (!reportingPolicy_->isReporting()) {
        co_return; // paused meanwhile: the result goes nowhere
    }
    if (identifierOf(result) == identifierOf(fingerprint_)) {
        qCDebug(lcAgent, "Fingerprint is unchanged");
        // A report the service did not accept is sent again when the same match comes back.
        if (result) {
            QCoro::Task<void> retrying = presenceReporter_->retryFor(result->fingerprintId);
            co_await retrying;
        }
        co_return;
    }
    setFingerprint(result);
    presenceReporter_->giveUp(); // the user is elsewhere now
    if (result) {
        qCDebug(lcAgent, "Found a matching fingerprint");
        QCoro::Task<void> reporting = presenceReporter_->report(*result, file.fingerprintVersion);
        co_await reporting;
    }
}

void Agent::checkTimeOfDay()
{
    // A change of the reporting state has been handled, with this check.
    if (reportingPolicy_->update()) {
        return;
    }
    if (!reportingPolicy_->isReporting()) {
        qCDebug(lcAgent, "Not reporting now: %s", qUtf8Printable(reportingPolicy_->notice()));
        return;
    }
    untilGone(presenceReporter_->retry());

    LockState& lock = *components_.lockMonitor;
    if (lastPresenceCheck_.isValid() && isToday(lastPresenceCheck_, clock_) &&
        !(reportingSince_.isValid() && lastPresenceCheck_ < reportingSince_)) {
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

void Agent::reportingStateChanged(int previous)
{
    if (!reportingPolicy_->isReporting()) {
        presenceReporter_->giveUp(); // a report still waiting is not sent late
        return;
    }
    // Entering the hours, or the end of a pause, counts as a new day for the daily report: when
    // the user is active, the agent reports at once.
    reportingSince_ = clock_.now();
    if (!timeOfDayTimer_) {
        return; // not started
    }
    checkTimeOfDay();
    if (previous == int(ReportingPolicy::State::paused)) {
        refresh(); // resuming looks at the network at once
    }
}

bool Agent::hasUnsentPresence() const { return presenceReporter_->hasUnsent(); }

bool Agent::isRegistered() const { return settings_.flag(QString::fromLatin1(settingskey::isRegistered)); }

void Agent::noteRegistration()
{
    const QString folder = QFileInfo(settings_.userFile()).absolutePath();
    if (settingsWatcher_.directories().isEmpty() && QFileInfo(folder).isDir()) {
        settingsWatcher_.addPath(folder); // once it exists
    }
    const bool registered = isRegistered();
    if (registered != registered_) {
        registered_ = registered;
        emit isRegisteredChanged();
    }
}

void Agent::setFingerprintFile(FingerprintFile file)
{
    fingerprintFile_ = std::move(file);
    emit fingerprintFileChanged();
}

void Agent::setContext(NetworkContext context)
{
    context_ = std::move(context);
    emit contextChanged();
}

void Agent::setFingerprint(std::optional<Fingerprint> fingerprint)
{
    fingerprint_ = std::move(fingerprint);
    emit fingerprintChanged();
}

void Agent::setLastPresenceCheck(QDateTime time)
{
    lastPresenceCheck_ = std::move(time);
    emit lastPresenceCheckChanged();
}

void Agent::setLastPresenceSend(QDateTime time)
{
    lastPresenceSend_ = std::move(time);
    emit lastPresenceSendChanged();
}

void Agent::setLastCheckin(QDateTime time)
{
    lastCheckin_ = std::move(time);
    emit lastCheckinChanged();
}

void Agent::setMessage(QString message)
{
    if (message != message_) {
        message_ = std::move(message);
        emit messageChanged();
    }
}

} // namespace nerova
