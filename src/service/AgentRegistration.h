#pragma once

#include "common/Clock.h"
#include "common/Error.h"
#include "common/Json.h"
#include "service/AgentInformation.h"
#include "service/DeviceInformation.h"
#include "service/NerovaClient.h"
#include "service/RegistrationResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;

namespace nerova {

class Settings;

struct AgentRegistrationErrorCases {
    NEROVA_ERROR_CASES(keyError,         // not raised: key failures arrive as KeyManagerError
                       noResponseError); // no answer to the registration, or a payload that is not strict Base64
};

class AgentRegistrationError final : public ErrorFamily<AgentRegistrationErrorCases, std::monostate> {
public:
    using ErrorFamily::ErrorFamily;
};

// Body of POST /registration.
struct RegistrationRequest {
    QString agentId;
    QString publicKey; // PEM text
    QString registrationKey;
    DeviceInformation deviceInformation;
    AgentInformation agentInformation;

    Json toJson() const;
};

// What an enrolment hands back to be stored: the secret in the secret store, the ids in the settings.
struct AgentCredentials {
    QString secret;
    QString projectId;
    QString instanceId;
};

// The two requests of an enrolment.
enum class RegistrationStep { registration, completion };
// Told of each request of an enrolment as it ends: `error` is null when its answer was usable.
using RegistrationStepObserver = std::function<void(RegistrationStep step, const std::exception* error)>;

// Enrols this agent with the service: a fresh key pair, the registration call carrying the public
// key, decryption of the returned credentials, and the signed completion that proves them. Only
// a completed enrolment sets "isRegistered". Neither logs nor retries.
class AgentRegistration {
public:
    AgentRegistration(QNetworkAccessManager& session, QUrl baseURL, Settings& settings, const Clock& clock,
                      std::chrono::milliseconds timeout = NerovaClient::defaultTimeout);

    // Raises KeyManagerError, NerovaClientError, URLLoadingError, JsonDecodeError or
    // AgentRegistrationError; on any failure "isRegistered" is left as it was. `steps` learns how
    // each request ended.
    QCoro::Task<AgentCredentials> registerAgent(QString agentId, QString registrationKey,
                                                DeviceInformation deviceInformation,
                                                RegistrationStepObserver steps = {});

    // POST /registration; yields the decoded ciphertext.
    QCoro::Task<QByteArray> sendRegistration(RegistrationRequest request);

private:
    QNetworkAccessManager& session_;
    QUrl baseURL_;
    Settings& settings_;
    const Clock& clock_;
    std::chrono::milliseconds timeout_;
};

} // namespace nerova
