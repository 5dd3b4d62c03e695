#include "agent/CheckinCycle.h"

#include "agent/Agent.h"

#include "agent/AgentLog.h"
#include "common/AppInfo.h"
#include "service/AgentSecretError.h"
#include "service/NerovaClientError.h"

namespace nerova {

namespace {

QString key(const char* name) { return QString::fromLatin1(name); }

// The date the service counts expiry seconds from.
const QDateTime referenceDate(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

constexpr qint64 expiryMarginSeconds = 60;

QString secretStoreProblem(const std::exception& error)
{
    return QStringLiteral("Secret store unavailable: %1").arg(describeException(error));
}

QString unreadableSettings(const QString& problem)
{
    return QStringLiteral("Cannot read the user settings: %1").arg(problem);
}

bool isDisowned(const NerovaClientError& error)
{
    return error.errorCase() == NerovaClientError::Case::serverError && error.serverError() &&
           error.serverError()->statusCode == 412;
}

} // namespace

CheckinCycle::CheckinCycle(Agent& agent, Settings& settings, const Clock& clock, const MachineState& machineState,
                           SecretStore& secretStore, ServiceConnection& service, std::shared_ptr<bool> alive)
    : agent_(agent),
      settings_(settings),
      clock_(clock),
      machineState_(machineState),
      secretStore_(secretStore),
      service_(service),
      alive_(std::move(alive))
{}

std::optional<QUrl> CheckinCycle::endpoint() const
{
    const std::optional<QString> text = settings_.managedSetting(key(settingskey::agentEndpoint));
    if (!text) {
        return std::nullopt;
    }
    const QUrl url(*text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

bool CheckinCycle::isConfigured() const
{
    const std::optional<QString> registrationKey = settings_.managedSetting(key(settingskey::registrationKey));
    return endpoint() && registrationKey && !registrationKey->isEmpty();
}

QCoro::Task<std::optional<ServiceCredentials>> CheckinCycle::serviceAccess()
{
    if (const std::optional<QString> problem = settings_.fileProblem()) {
        accessProblem_ = unreadableSettings(*problem);
        co_return std::nullopt;
    }
    std::optional<QString> secret;
    try {
        QCoro::Task<std::optional<QString>> loading = whileAlive(alive_, secretStore_.loadSecret());
        secret = co_await loading;
    } catch (const std::exception& error) {
        // Counts as no secret; the user learns why nothing is sent.
        accessProblem_ = secretStoreProblem(error);
        if (isConfigured()) {
            agent_.setMessage(accessProblem_);
        }
        co_return std::nullopt;
    }
    if (!secret) {
        accessProblem_ = QStringLiteral("Not enrolled: no secret stored");
        co_return std::nullopt;
    }
    const std::optional<QUrl> url = endpoint();
    if (!url) {
        accessProblem_ = QString::fromLatin1(Agent::notConfiguredMessage);
        co_return std::nullopt;
    }
    const std::optional<QString> projectId = settings_.text(key(settingskey::projectID));
    const std::optional<QString> instanceId = settings_.text(key(settingskey::instanceID));
    if (!projectId || !instanceId) {
        accessProblem_ = QStringLiteral("Not enrolled: no project or instance identifier stored");
        co_return std::nullopt;
    }
    const QString agentId = settings_.agentIdentifier();
    if (agentId.isEmpty()) { // another process holds the settings, and the identifier was never read
        accessProblem_ = unreadableSettings(settings_.fileProblem().value_or(QStringLiteral("no agent identifier")));
        co_return std::nullopt;
    }
    accessProblem_.clear();
    std::optional<ServiceCredentials> access(std::in_place);
    access->endpoint = *url;
    access->secret = *secret;
    access->agentId = agentId;
    access->projectId = *projectId;
    access->instanceId = *instanceId;
    co_return access;
}

void CheckinCycle::updateMessage(const QString& problem)
{
    agent_.setMessage(isConfigured() ? problem : QString::fromLatin1(Agent::notConfiguredMessage));
}

QCoro::Task<void> CheckinCycle::run()
{
    // Nothing is enrolled or checked in while the settings file is damaged: what the cycle learns
    // could not be kept, and an enrolment would replace the secret of the agent the file names.
    if (const std::optional<QString> problem = settings_.fileProblem()) {
        qCCritical(lcAgent, "Cannot read the user settings: %s", qUtf8Printable(*problem));
        agent_.setMessage(unreadableSettings(*problem));
        co_return;
    }
    if (!agent_.isRegistered()) {
        std::optional<QString> problem;
        try {
            co_await registerAgent();
        } catch (const AgentSecretError& error) {
            // The store cannot keep a secret: nothing was sent, or the secret was not kept.
            qCCritical(lcAgent, "Failed to register - %s", qUtf8Printable(describeException(error)));
            problem = secretStoreProblem(error);
        } catch (const std::exception& error) {
            qCCritical(lcAgent, "Failed to register - %s", qUtf8Printable(describeException(error)));
            problem = QStringLiteral("Enrolment failed: %1").arg(describeException(error));
        }
        if (problem) {
            updateMessage(*problem);
            co_return;
        }
    }
    std::optional<QString> failure;
    bool sent = false;
    try {
        sent = co_await sendCheckin();
    } catch (const AgentSecretError& error) {
        // Enrolling again after a 412, the store could not keep a secret.
        qCCritical(lcAgent, "error during check in %s", qUtf8Printable(describeException(error)));
        failure = secretStoreProblem(error);
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "error during check in %s", qUtf8Printable(describeException(error)));
        failure = QStringLiteral("Check-in failed: %1").arg(describeException(error));
    }
    if (failure) {
        updateMessage(*failure);
    } else if (sent) {
        agent_.setLastCheckin(clock_.now());
        updateMessage({});
    } else {
        // Nothing was sent, so this was no check-in.
        updateMessage(accessProblem_);
    }
}

QCoro::Task<void> CheckinCycle::registerAgent()
{
    const std::optional<QUrl> url = endpoint();
    const std::optional<QString> registrationKey = settings_.managedSetting(key(settingskey::registrationKey));
    if (!url || !registrationKey || registrationKey->isEmpty()) {
        throw AgentError(AgentError::Case::notConfigured);
    }
    // An enrolment whose secret could not be kept would be abandoned at the service, and the next
    // cycle would leave another: nothing is sent while the store cannot store.
    QCoro::Task<void> probing = whileAlive(alive_, secretStore_.checkStorable());
    co_await probing;
    const QString agentId = settings_.agentIdentifier();
    if (agentId.isEmpty()) {
        throw AgentError(AgentError::Case::noAgentIdentifier); // never enrol without the identifier
    }
    DeviceInformation device = makeDeviceInformation(machineState_, settings_);
    QCoro::Task<AgentCredentials> registering =
        whileAlive(alive_, service_.registerAgent(*url, agentId, *registrationKey, std::move(device)));
    const AgentCredentials credentials = co_await registering;
    std::exception_ptr storeFailure;
    try {
        QCoro::Task<void> storing = whileAlive(alive_, secretStore_.storeSecret(credentials.secret));
        co_await storing;
    } catch (const std::exception&) {
        storeFailure = std::current_exception();
    }
    if (storeFailure) {
        // Without its secret the agent could never sign a request: it stays unenrolled, so that
        // the next cycle enrols anew.
        settings_.setFlag(key(settingskey::isRegistered), false);
        agent_.noteRegistration();
        std::rethrow_exception(storeFailure);
    }
    settings_.setText(key(settingskey::projectID), credentials.projectId);
    settings_.setText(key(settingskey::instanceID), credentials.instanceId);
    agent_.noteRegistration();
}

QCoro::Task<bool> CheckinCycle::sendCheckin()
{
    QCoro::Task<bool> posting = postCheckin(true);
    co_return co_await posting;
}

QCoro::Task<bool> CheckinCycle::postCheckin(bool mayEnrolAgain)
{
    QCoro::Task<std::optional<ServiceCredentials>> gathering = serviceAccess();
    std::optional<ServiceCredentials> access = co_await gathering;
    if (!access) {
        co_return false;
    }
    const std::optional<FingerprintFile>& installed = agent_.fingerprintFile();
    AgentCheckinRequest request;
    request.fingerprintVersion = installed ? installed->fingerprintVersion : 0;
    request.agentVersion = appVersion();
    request.requestNewUrl = needsNewFingerprintURL();

    std::optional<AgentCheckinResponse> answer;
    bool disowned = false;
    try {
        QCoro::Task<std::optional<AgentCheckinResponse>> posting =
            whileAlive(alive_, service_.postCheckin(std::move(*access), std::move(request)));
        answer = co_await posting;
    } catch (const NerovaClientError& error) {
        if (!isDisowned(error) || !mayEnrolAgain) {
            throw;
        }
        disowned = true;
    }
    if (disowned) {
        // The service no longer knows this agent: enrol again, then check in with the new identity.
        // The refused check-in was none.
        settings_.setFlag(key(settingskey::isRegistered), false);
        agent_.noteRegistration();
        co_await registerAgent();
        QCoro::Task<bool> again = postCheckin(false);
        co_return co_await again;
    }

    if (answer && answer->fingerprintFileUrl && answer->urlExpiresAt) {
        qCDebug(lcAgent, "New fingerprint URL %s", qUtf8Printable(*answer->fingerprintFileUrl));
        settings_.setText(key(settingskey::fingerprintURL), *answer->fingerprintFileUrl);
        settings_.setInteger(key(settingskey::fingerprintExpiry), *answer->urlExpiresAt);
        agent_.checkFingerprintFile();
    }
    if (!agent_.fingerprintFile()) {
        agent_.checkFingerprintFile();
    }
    co_return true;
}

bool CheckinCycle::needsNewFingerprintURL() const
{
    const std::optional<QString> url = settings_.text(key(settingskey::fingerprintURL));
    if (!url || url->isEmpty()) {
        return true;
    }
    const qint64 expiry = settings_.integer(key(settingskey::fingerprintExpiry));
    const qint64 now = referenceDate.secsTo(clock_.now());
    return expiry < now - expiryMarginSeconds;
}

QCoro::Task<void> CheckinCycle::refreshFingerprintFile()
{
    if (needsNewFingerprintURL()) {
        std::optional<QString> failure;
        try {
            co_await sendCheckin();
        } catch (const std::exception& error) {
            failure = describeException(error);
        }
        if (failure) {
            qCCritical(lcAgent, "Error checking fingerprint eTag %s", qUtf8Printable(*failure));
            co_return;
        }
    }
    const std::optional<QString> url = settings_.text(key(settingskey::fingerprintURL));
    if (!url) {
        co_return;
    }
    std::optional<FingerprintFile> file;
    try {
        QCoro::Task<std::optional<FingerprintFile>> fetching = whileAlive(alive_, service_.fetchFingerprintFile(*url));
        file = co_await fetching;
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error checking fingerprint eTag %s", qUtf8Printable(describeException(error)));
        co_return;
    }
    const qint64 installed = agent_.fingerprintFile() ? agent_.fingerprintFile()->fingerprintVersion : 0;
    if (!file || file->fingerprintVersion <= installed) {
        co_return;
    }
    qCDebug(lcAgent, "Installing new fingerprint file");
    agent_.setFingerprintFile(std::move(*file));
    try {
        co_await sendCheckin();
    } catch (const std::exception& error) {
        qCCritical(lcAgent, "Error checking in after new fingerprint file %s",
                   qUtf8Printable(describeException(error)));
    }
    agent_.refresh();
}

} // namespace nerova
