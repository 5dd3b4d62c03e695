#include "agent/Agent.h"

#include "agent/AgentLog.h"

#include <QFileInfo>

namespace nerova {

Q_LOGGING_CATEGORY(lcAgent, "nerova.Agent", QtInfoMsg)

namespace {

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
      registered_(settings.flag(QString::fromLatin1(settingskey::isRegistered)))
{
    // The settings file is replaced on every write, so its folder is what can be watched.
    connect(&settingsWatcher_, &QFileSystemWatcher::directoryChanged, this, &Agent::noteRegistration);
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
        co_await runCheckinCycle();
    } catch (const AgentGone&) {
        co_return;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "error during check in %s", qUtf8Printable(describeException(error)));
    }
    if (checkinTask_ == run) {
        checkinTask_.reset();
    }
}

QCoro::Task<void> Agent::fingerprintCheckTaskBody(quint64 run)
{
    try {
        co_await runFingerprintRefresh();
    } catch (const AgentGone&) {
        co_return;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error checking fingerprint eTag %s", qUtf8Printable(describeException(error)));
    }
    if (fingerprintCheckTask_ == run) {
        fingerprintCheckTask_.reset();
    }
}

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
