#pragma once

#include "agent/LockState.h"
#include "agent/MachineState.h"
#include "agent/SecretStore.h"
#include "agent/ServiceConnection.h"
#include "agent/UserState.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "network/NetworkContext.h"
#include "network/NetworkContextSource.h"
#include "rules/FingerprintFile.h"
#include "rules/RulesEngine.h"
#include "rules/RulesEngineEvaluation.h"

#include "agent/AgentError.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace nerova {

class ActivityRecord;
class CheckinCycle;
class PresenceReporter;
class ReportingPolicy;

// The intervals of the agent's repeating work. Users cannot change them; tests shorten them.
struct AgentIntervals {
    static constexpr std::chrono::milliseconds checkinInterval{std::chrono::seconds(3600)};
    static constexpr std::chrono::milliseconds fingerprintCheckInterval{std::chrono::seconds(600)};
    static constexpr std::chrono::milliseconds timeOfDayInterval{std::chrono::seconds(120)};

    std::chrono::milliseconds checkin = checkinInterval;
    std::chrono::milliseconds fingerprintCheck = fingerprintCheckInterval;
    std::chrono::milliseconds timeOfDay = timeOfDayInterval;
};

// The last evaluation of the rules engine: its verdict and how it was reached.
struct AgentEvaluation {
    std::optional<Fingerprint> match;
    std::optional<QString> error; // the description of the error the evaluation raised
    RulesEngineEvaluation explanation;
};

// The long-lived parts the agent owns, built by the application (or by a test with stand-ins).
struct AgentComponents {
    std::unique_ptr<MachineState> machineState;
    std::unique_ptr<NetworkContextSource> networkMonitor;
    std::unique_ptr<RulesEngine> rulesEngine;
    std::unique_ptr<LockState> lockMonitor;
    std::unique_ptr<SecretStore> secretStore;
    std::unique_ptr<ServiceConnection> service;
    // Where the service connection enters the requests it sends; none in tests that need no record.
    std::shared_ptr<ActivityRecord> activityRecord;
};

// The heart of the running agent: it starts and stops the work, evaluates every network snapshot
// the user is present for, and holds every property the views show. Its check-in cycle enrols and
// checks in with the service and keeps the fingerprint file current; its presence reporter reports
// a change of location. Everything runs on the main thread's event loop; the asynchronous steps are coroutines.
// Every field the views show is a property whose change is signalled.
class Agent : public QObject {
    Q_OBJECT
    Q_PROPERTY(
        std::optional<nerova::FingerprintFile> fingerprintFile READ fingerprintFile NOTIFY fingerprintFileChanged)
    Q_PROPERTY(std::optional<nerova::NetworkContext> context READ context NOTIFY contextChanged)
    Q_PROPERTY(std::optional<nerova::Fingerprint> fingerprint READ fingerprint NOTIFY fingerprintChanged)
    Q_PROPERTY(QDateTime lastPresenceCheck READ lastPresenceCheck NOTIFY lastPresenceCheckChanged)
    Q_PROPERTY(QDateTime lastPresenceSend READ lastPresenceSend NOTIFY lastPresenceSendChanged)
    Q_PROPERTY(QDateTime lastCheckin READ lastCheckin NOTIFY lastCheckinChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool isRegistered READ isRegistered NOTIFY isRegisteredChanged)

public:
    static constexpr const char* notConfiguredMessage = "Not configured";

    // `settings` and `clock` must outlive the agent.
    Agent(AgentComponents components, Settings& settings, const Clock& clock, AgentIntervals intervals = {},
          QObject* parent = nullptr);
    ~Agent() override;

    // Starts the monitor loop and the three timers, then one fingerprint refresh and one check-in.
    // A second call while started does nothing.
    void start();
    // Stops the service timers and the monitor loop and detaches the lock monitor.
    void stop();
    // Asks the network monitor for a fresh context.
    void refresh();
    // Starts one check-in cycle unless one is running.
    void checkin();
    // Starts one fingerprint refresh unless one is running.
    void checkFingerprintFile();
    // The daily re-evaluation: forgets the match and asks for a context when the user is active
    // and nothing was evaluated today; also retries a presence report the service did not accept.
    void checkTimeOfDay();

    const std::optional<FingerprintFile>& fingerprintFile() const { return fingerprintFile_; }
    const std::optional<NetworkContext>& context() const { return context_; }
    const std::optional<Fingerprint>& fingerprint() const { return fingerprint_; }
    QDateTime lastPresenceCheck() const { return lastPresenceCheck_; }
    QDateTime lastPresenceSend() const { return lastPresenceSend_; }
    QDateTime lastCheckin() const { return lastCheckin_; }
    const QString& message() const { return message_; }
    // The stored flag "isRegistered".
    bool isRegistered() const;
    // The last evaluation of the rules engine; absent before the first one.
    const std::optional<AgentEvaluation>& lastEvaluation() const { return lastEvaluation_; }

    // A presence report waits to be sent again: the service did not accept it, or it could not be
    // sent yet.
    bool hasUnsentPresence() const;

    // When the agent may report (hours, pause) and how precisely.
    ReportingPolicy& reportingPolicy() const { return *reportingPolicy_; }

    // The record of the requests sent to the service; null when the agent keeps none.
    ActivityRecord* activityRecord() const { return components_.activityRecord.get(); }
    const MachineState& machineState() const { return *components_.machineState; }
    const UserState& userState() const { return userState_; }
    Settings& settings() const { return settings_; }

signals:
    void fingerprintFileChanged();
    void contextChanged();
    void fingerprintChanged();
    void lastPresenceCheckChanged();
    void lastPresenceSendChanged();
    void lastCheckinChanged();
    void messageChanged();
    void isRegisteredChanged();
    // The monitor loop finished with one context (evaluated or dropped).
    void contextHandled();
    // A check-in cycle ended, whatever its outcome.
    void checkinFinished();
    // A fingerprint refresh ended, whatever its outcome.
    void fingerprintCheckFinished();
    // A presence report ended, accepted or not.
    void presenceSendFinished();
    // stop() has run.
    void stopped();

private:
    // The check-in cycle and the presence reporter update the agent's properties.
    friend class CheckinCycle;
    friend class PresenceReporter;

    // Runs `work` on its own; it ends quietly when the agent is destroyed meanwhile.
    static QCoro::Task<void> untilGone(QCoro::Task<void> work);
    QCoro::Task<void> monitorLoop(quint64 run);
    QCoro::Task<void> evaluate(NetworkContext context);
    QCoro::Task<void> checkinTaskBody(quint64 run);
    QCoro::Task<void> fingerprintCheckTaskBody(quint64 run);

    void setFingerprintFile(FingerprintFile file);
    void setContext(NetworkContext context);
    void setFingerprint(std::optional<Fingerprint> fingerprint);
    void setLastPresenceCheck(QDateTime time);
    void setLastPresenceSend(QDateTime time);
    void setLastCheckin(QDateTime time);
    void setMessage(QString message);
    // Signals a change of the stored "isRegistered" seen since the last call.
    void noteRegistration();
    // The reporting policy's state moved from `previous` (a ReportingPolicy::State).
    void reportingStateChanged(int previous);

    AgentComponents components_;
    Settings& settings_;
    const Clock& clock_;
    AgentIntervals intervals_;
    UserState userState_;

    std::optional<FingerprintFile> fingerprintFile_;
    std::optional<NetworkContext> context_;
    std::optional<Fingerprint> fingerprint_;
    QDateTime lastPresenceCheck_;
    QDateTime lastPresenceSend_;
    QDateTime lastCheckin_;
    QString message_;
    std::optional<AgentEvaluation> lastEvaluation_;

    std::unique_ptr<QTimer> checkinTimer_;
    std::unique_ptr<QTimer> fingerprintCheckTimer_;
    std::unique_ptr<QTimer> timeOfDayTimer_;
    // Present exactly while the task runs; each holds the number of its run.
    std::optional<quint64> monitorTask_;
    std::optional<quint64> checkinTask_;
    std::optional<quint64> fingerprintCheckTask_;
    quint64 runs_ = 0;

    bool registered_ = false;            // the stored flag as last signalled
    QFileSystemWatcher settingsWatcher_; // another process may reset the enrolment
    // Cleared when the agent is destroyed, so a coroutine resumed later ends without touching it
    // or the parts it owns.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::unique_ptr<CheckinCycle> checkinCycle_;
    std::unique_ptr<PresenceReporter> presenceReporter_;
    std::unique_ptr<ReportingPolicy> reportingPolicy_;
    // When the agent last entered its reporting hours or resumed: an evaluation before it does not
    // count as today's.
    QDateTime reportingSince_;
};

} // namespace nerova
