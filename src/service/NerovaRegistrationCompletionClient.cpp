#include "service/NerovaRegistrationCompletionClient.h"

namespace nerova {

Json RegistrationCompletionRequest::toJson() const { return Json{{"nonce", toStdString(nonce)}}; }

QCoro::Task<std::optional<RegistrationCompletionResponse>>
NerovaRegistrationCompletionClient::postCompletion(QString agentId, QString nonce, QString projectId,
                                                   QString instanceId)
{
    return client.postSigned<RegistrationCompletionResponse>(u'/' + agentId + QStringLiteral("/complete-registration"),
                                                             RegistrationCompletionRequest{std::move(nonce)},
                                                             std::move(projectId), std::move(instanceId));
}

} // namespace nerova
