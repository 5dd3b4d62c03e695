#include "service/AgentRegistration.h"

#include "common/AppInfo.h"
#include "common/Settings.h"
#include "service/KeyManager.h"
#include "service/NerovaRegistrationCompletionClient.h"

namespace nerova {

Json RegistrationRequest::toJson() const
{
    Json json = Json::object();
    json["agentId"] = toStdString(agentId);
    json["publicKey"] = toStdString(publicKey);
    json["registrationKey"] = toStdString(registrationKey);
    json["deviceInformation"] = deviceInformation.toJson();
    json["agentInformation"] = agentInformation.toJson();
    return json;
}

AgentRegistration::AgentRegistration(QNetworkAccessManager& session, QUrl baseURL, Settings& settings,
                                     const Clock& clock, std::chrono::milliseconds timeout)
    : session_(session), baseURL_(std::move(baseURL)), settings_(settings), clock_(clock), timeout_(timeout)
{}

QCoro::Task<AgentCredentials> AgentRegistration::registerAgent(QString agentId, QString registrationKey,
                                                               DeviceInformation deviceInformation,
                                                               RegistrationStepObserver steps)
{
    const auto ended = [&steps](RegistrationStep step, const std::exception* error) {
        if (steps) {
            steps(step, error);
        }
    };
    const QString tag = QString::fromLatin1(KeyManager::registrationTag);
    std::optional<KeyPair> keys = KeyManager::findKeyPair(tag);
    if (!keys) {
        keys = co_await KeyManager::createKeyPairInBackground(tag);
    }
    RegistrationRequest request;
    request.agentId = agentId;
    request.publicKey = KeyManager::publicKeyPEM(keys->publicKey);
    request.registrationKey = registrationKey;
    request.deviceInformation = std::move(deviceInformation);
    request.agentInformation.fingerprintVersion = 0;
    request.agentInformation.agentVersion = appVersion();

    // The registration's answer is usable once its payload is read.
    RegistrationResponsePayload payload;
    try {
        const QByteArray ciphertext = co_await sendRegistration(std::move(request));
        const QByteArray plaintext = KeyManager::decryptPayload(ciphertext, keys->privateKey);
        payload = RegistrationResponsePayload::fromJson(parseJson(plaintext), {});
    } catch (const std::exception& error) {
        ended(RegistrationStep::registration, &error);
        throw;
    }
    ended(RegistrationStep::registration, nullptr);

    NerovaRegistrationCompletionClient completion(session_, baseURL_, payload.secret, clock_, timeout_);
    try {
        co_await completion.postCompletion(agentId, payload.nonce, payload.projectId, payload.instanceId);
    } catch (const std::exception& error) {
        ended(RegistrationStep::completion, &error);
        throw;
    }
    ended(RegistrationStep::completion, nullptr);

    settings_.setFlag(QString::fromLatin1(settingskey::isRegistered), true);
    co_return AgentCredentials{payload.secret, payload.projectId, payload.instanceId};
}

QCoro::Task<QByteArray> AgentRegistration::sendRegistration(RegistrationRequest request)
{
    NerovaClient client(session_, baseURL_, timeout_);
    const HeaderMap headers{{QStringLiteral("x-nerova-agent-registrationkey"), request.registrationKey}};
    const std::string body = request.toJson().dump();
    const std::optional<RegistrationResponse> response = co_await client.post<RegistrationResponse>(
        QStringLiteral("/registration"), QByteArray(body.data(), qsizetype(body.size())), headers, QueryItems());
    if (!response) {
        throw AgentRegistrationError(AgentRegistrationError::Case::noResponseError);
    }
    const std::optional<QByteArray> ciphertext = response->ciphertext();
    if (!ciphertext) {
        throw AgentRegistrationError(AgentRegistrationError::Case::noResponseError);
    }
    co_return *ciphertext;
}

} // namespace nerova
