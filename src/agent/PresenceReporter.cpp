#include "agent/PresenceReporter.h"

#include "agent/Agent.h"
#include "agent/AgentLog.h"
#include "agent/CheckinCycle.h"
#include "agent/ReportingPolicy.h"

#include <QCoroSignal>

namespace nerova {

PresenceReporter::PresenceReporter(Agent& agent, const Clock& clock, CheckinCycle& access, ServiceConnection& service,
                                   std::shared_ptr<bool> alive)
    : agent_(agent), clock_(clock), access_(access), service_(service), alive_(std::move(alive))
{}

QCoro::Task<void> PresenceReporter::report(const Fingerprint& fingerprint, qint64 fingerprintVersion)
{
    UnsentPresence report;
    report.fingerprint = fingerprint;
    report.request.timestamp = clock_.now();
    report.request.fingerprintId = fingerprint.fingerprintId;
    report.request.fingerprintVersion = fingerprintVersion;
    // The match decides with all its evidence; the report carries no finer part than the policy allows.
    report.request.locationPoint = cappedLocationPoint(fingerprint.locationPoint, agent_.reportingPolicy().precision());
    QCoro::Task<void> reporting = send(std::move(report));
    co_await reporting;
}

QCoro::Task<void> PresenceReporter::send(UnsentPresence report)
{
    // One report at a time, so that reports reach the service in the order of the matches.
    while (inFlight_) {
        co_await qCoro(&agent_, &Agent::presenceSendFinished);
    }
    inFlight_ = true;
    const QString id = report.fingerprint.fingerprintId;
    unsent_ = report;
    // A report that could not be sent yet (the agent lacked its access to the service) waits, like
    // one the service refused, so that a fault of the keyring or of the settings loses no report.
    bool accepted = false;
    std::optional<QString> problem;
    try {
        QCoro::Task<bool> sending = sendPresence(std::move(report.request));
        accepted = co_await sending;
        if (!accepted) {
            problem =
                access_.isConfigured() ? access_.accessProblem() : QString::fromLatin1(Agent::notConfiguredMessage);
        }
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error sending presence %s", qUtf8Printable(describeException(error)));
        problem = QStringLiteral("Presence report failed: %1").arg(describeException(error));
    }
    if (accepted && unsent_ && unsent_->fingerprint.fingerprintId == id) {
        unsent_.reset();
    }
    // The user learns at once why a report waits, and that it went out once it has.
    if (problem) {
        problem_ = *problem;
        agent_.setMessage(*problem);
    } else {
        clearProblem();
    }
    inFlight_ = false;
    emit agent_.presenceSendFinished();
}

QCoro::Task<void> PresenceReporter::retry()
{
    if (!unsent_ || inFlight_) {
        co_return;
    }
    QCoro::Task<void> reporting = send(*unsent_);
    co_await reporting;
}

QCoro::Task<void> PresenceReporter::retryFor(const QString& fingerprintId)
{
    if (unsent_ && unsent_->fingerprint.fingerprintId == fingerprintId) {
        QCoro::Task<void> retrying = retry();
        co_await retrying;
    }
}

void PresenceReporter::giveUp()
{
    unsent_.reset();
    clearProblem();
}

void PresenceReporter::clearProblem()
{
    if (!problem_.isEmpty() && agent_.message() == problem_) {
        agent_.setMessage(QString());
    }
    problem_.clear();
}

QCoro::Task<bool> PresenceReporter::sendPresence(AgentPresenceRequest request)
{
    QCoro::Task<std::optional<ServiceCredentials>> gathering = access_.serviceAccess();
    std::optional<ServiceCredentials> access = co_await gathering;
    if (!access) {
        co_return false;
    }
    QCoro::Task<void> posting = whileAlive(alive_, service_.postPresence(std::move(*access), std::move(request)));
    co_await posting;
    agent_.setLastPresenceSend(clock_.now());
    co_return true;
}

} // namespace nerova
