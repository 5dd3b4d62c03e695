#include "agent/NerovaServiceConnection.h"

#include "agent/ActivityRecord.h"
#include "service/NerovaClientError.h"

#include <QHash>
#include <QUrlQuery>

namespace nerova {

namespace {

// A secret shorter than this is no real one (the tests' stand-ins), and hiding it would mangle the text.
constexpr qsizetype shortestHidden = 4;

// `text` with every one of `hidden` taken out.
QString withoutSecrets(QString text, const QStringList& hidden)
{
    for (const QString& secret : hidden) {
        if (secret.size() >= shortestHidden) {
            text.replace(secret, QStringLiteral("[hidden]"));
        }
    }
    return text;
}

// The outcome of a request that raised `error`, and what the record says of it: the status the
// service refused it with, or why no usable answer came.
std::pair<ActivityOutcome, QString> failureOf(const std::exception& error)
{
    if (const auto* refused = dynamic_cast<const NerovaClientError*>(&error)) {
        if (refused->errorCase() == NerovaClientError::Case::serverError) {
            return {ActivityOutcome::refused, QStringLiteral("status %1").arg(refused->serverError()->statusCode)};
        }
        if (refused->errorCase() == NerovaClientError::Case::httpError) {
            return {ActivityOutcome::refused,
                    QStringLiteral("status %1").arg(refused->response()->statusCode.value_or(0))};
        }
    }
    return {ActivityOutcome::failed, describeException(error)};
}

QString locationPointText(const LocationPoint& point)
{
    QStringList parts{point.locationId};
    for (const std::optional<QString>& part : {point.levelId, point.zoneId, point.placeId}) {
        if (part) {
            parts << *part;
        }
    }
    return parts.join(u'/');
}

} // namespace

struct NerovaServiceConnection::Accounts {
    std::shared_ptr<ActivityRecord> record;
    QHash<QString, QString> locationNames; // of the last file, by fingerprint id
    std::optional<qint64> namesVersion;

    void enter(ActivityRequest request, ActivityOutcome outcome, QString detail, const QStringList& hidden) const
    {
        if (record) {
            record->record(request, outcome, withoutSecrets(std::move(detail), hidden));
        }
    }
    // A request that ended with `error`, or without one when null.
    void enter(ActivityRequest request, const std::exception* error, const QString& detail,
               const QStringList& hidden) const
    {
        if (!error) {
            enter(request, ActivityOutcome::accepted, detail, hidden);
            return;
        }
        const auto [outcome, problem] = failureOf(*error);
        enter(request, outcome, problem + QStringLiteral("; ") + detail, hidden);
    }
    void enterDownload(const FingerprintFileAnswer& answer, const std::exception* error,
                       const std::optional<FingerprintFile>& file, const QString& address,
                       const QStringList& hidden) const
    {
        if (answer.statusCode == 304) {
            enter(ActivityRequest::download, ActivityOutcome::notModified, address, hidden);
        } else if (answer.statusCode && *answer.statusCode != 200) {
            enter(ActivityRequest::download, ActivityOutcome::refused,
                  QStringLiteral("status %1; %2").arg(QString::number(*answer.statusCode), address), hidden);
        } else if (answer.unusable) {
            enter(ActivityRequest::download, ActivityOutcome::failed,
                  QStringLiteral("file not taken: %1; %2").arg(*answer.unusable, address), hidden);
        } else if (error) {
            enter(ActivityRequest::download, error, address, hidden);
        } else {
            enter(ActivityRequest::download, ActivityOutcome::accepted,
                  file ? QStringLiteral("%1, version %2").arg(address, QString::number(file->fingerprintVersion))
                       : address,
                  hidden);
        }
    }
    void learnNames(const std::optional<FingerprintFile>& file)
    {
        if (!record || !file || namesVersion == file->fingerprintVersion) {
            return;
        }
        locationNames.clear();
        for (const Fingerprint& fingerprint : file->fingerprints) {
            locationNames.insert(fingerprint.fingerprintId, fingerprint.name);
        }
        namesVersion = file->fingerprintVersion;
    }
};

NerovaServiceConnection::NerovaServiceConnection(QNetworkAccessManager& session, Settings& settings, const Clock& clock,
                                                 FingerprintFileClient& fingerprintFiles,
                                                 std::chrono::milliseconds timeout,
                                                 std::shared_ptr<ActivityRecord> activity)
    : session_(session),
      settings_(settings),
      clock_(clock),
      fingerprintFiles_(fingerprintFiles),
      timeout_(timeout),
      accounts_(std::make_shared<Accounts>())
{
    accounts_->record = std::move(activity);
}

QCoro::Task<AgentCredentials> NerovaServiceConnection::registerAgent(QUrl baseURL, QString agentId,
                                                                     QString registrationKey,
                                                                     DeviceInformation deviceInformation)
{
    const std::shared_ptr<Accounts> accounts = accounts_;
    const QString agent = QStringLiteral("agent ") + agentId;
    const QString device =
        QStringLiteral("%1, device \"%2\" (serial %3), user %4")
            .arg(agent, deviceInformation.name, deviceInformation.serialNumber, deviceInformation.localUsername);
    RegistrationStepObserver steps = [accounts, agent, device, hidden = QStringList{registrationKey}](
                                         RegistrationStep step, const std::exception* error) {
        const bool first = step == RegistrationStep::registration;
        accounts->enter(first ? ActivityRequest::registration : ActivityRequest::completion, error,
                        first ? device : agent, hidden);
    };
    AgentRegistration registration(session_, std::move(baseURL), settings_, clock_, timeout_);
    QCoro::Task<AgentCredentials> registering = registration.registerAgent(
        std::move(agentId), std::move(registrationKey), std::move(deviceInformation), std::move(steps));
    co_return co_await registering;
}

QCoro::Task<std::optional<AgentCheckinResponse>> NerovaServiceConnection::postCheckin(ServiceCredentials credentials,
                                                                                      AgentCheckinRequest request)
{
    const std::shared_ptr<Accounts> accounts = accounts_;
    const QStringList hidden{credentials.secret};
    const QString detail =
        QStringLiteral("fingerprint version %1, agent version %2%3")
            .arg(request.fingerprintVersion)
            .arg(request.agentVersion, request.requestNewUrl ? QStringLiteral(", new file address asked") : QString());
    NerovaCheckinClient client(session_, std::move(credentials.endpoint), std::move(credentials.secret), clock_,
                               timeout_);
    std::optional<AgentCheckinResponse> answer;
    try {
        QCoro::Task<std::optional<AgentCheckinResponse>> posting =
            client.postCheckin(std::move(credentials.agentId), std::move(request), std::move(credentials.projectId),
                               std::move(credentials.instanceId));
        answer = co_await posting;
    } catch (const std::exception& error) {
        accounts->enter(ActivityRequest::checkin, &error, detail, hidden);
        throw;
    }
    accounts->enter(ActivityRequest::checkin, nullptr, detail, hidden);
    co_return answer;
}

QCoro::Task<void> NerovaServiceConnection::postPresence(ServiceCredentials credentials, AgentPresenceRequest request)
{
    const std::shared_ptr<Accounts> accounts = accounts_;
    const QStringList hidden{credentials.secret};
    const QString name = accounts->locationNames.value(request.fingerprintId);
    const QString detail =
        (name.isEmpty() ? request.fingerprintId : QStringLiteral("%1 (%2)").arg(name, request.fingerprintId)) + u' ' +
        locationPointText(request.locationPoint);
    NerovaPresenceClient client(session_, std::move(credentials.endpoint), std::move(credentials.secret), clock_,
                                timeout_);
    try {
        QCoro::Task<std::optional<AgentPresenceResponse>> posting =
            client.postPresence(std::move(credentials.agentId), std::move(request), std::move(credentials.projectId),
                                std::move(credentials.instanceId));
        co_await posting;
    } catch (const std::exception& error) {
        accounts->enter(ActivityRequest::presence, &error, detail, hidden);
        throw;
    }
    accounts->enter(ActivityRequest::presence, nullptr, detail, hidden);
}

QCoro::Task<std::optional<FingerprintFile>> NerovaServiceConnection::fetchFingerprintFile(QString url)
{
    const std::shared_ptr<Accounts> accounts = accounts_;
    // A download address may carry a token in its query: the record shows where the file came
    // from without it.
    const QUrl where(url);
    const QString address =
        where.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toDisplayString();
    QStringList hidden{where.password(QUrl::FullyEncoded), where.password(QUrl::FullyDecoded)};
    if (where.hasQuery()) {
        // Every spelling an error text may use: the whole address, the query and each of its values.
        hidden << url << where.toDisplayString() << where.toString() << where.toString(QUrl::FullyEncoded)
               << where.query(QUrl::FullyEncoded) << where.query(QUrl::FullyDecoded);
        for (const QUrlQuery query(where); const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
            hidden << value << QString::fromLatin1(QUrl::toPercentEncoding(value));
        }
    }
    FingerprintFileAnswer answer;
    std::optional<FingerprintFile> file;
    try {
        QCoro::Task<std::optional<FingerprintFile>> fetching =
            fingerprintFiles_.fetchFingerprintFile(std::move(url), &answer);
        file = co_await fetching;
    } catch (const std::exception& error) {
        accounts->enterDownload(answer, &error, std::nullopt, address, hidden);
        throw;
    }
    accounts->enterDownload(answer, nullptr, file, address, hidden);
    accounts->learnNames(file);
    co_return file;
}

} // namespace nerova
