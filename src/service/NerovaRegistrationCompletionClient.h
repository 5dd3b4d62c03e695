#pragma once

#include "service/NerovaAuthenticatedClient.h"

namespace nerova {

struct RegistrationCompletionRequest {
    QString nonce;

    Json toJson() const;
};

// Nothing of the answer is used; any JSON object or an empty body is accepted.
using RegistrationCompletionResponse = EmptyRecord;

// The signed call that ends a registration: POST /{agentId}/complete-registration, signed with the
// secret from the decrypted payload before anything is stored.
class NerovaRegistrationCompletionClient : public SignedEndpointClient {
public:
    using SignedEndpointClient::SignedEndpointClient;

    // The client must outlive the task.
    QCoro::Task<std::optional<RegistrationCompletionResponse>> postCompletion(QString agentId, QString nonce,
                                                                              QString projectId, QString instanceId);
};

} // namespace nerova
