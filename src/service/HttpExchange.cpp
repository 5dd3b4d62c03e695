#include "service/HttpExchange.h"

#include "network/HttpReply.h"
#include "service/NerovaClient.h"
#include "service/NerovaClientError.h"
#include "service/URLLoadingError.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace nerova {

QCoro::Task<HttpAnswer> exchange(QNetworkAccessManager& session, QNetworkRequest request, QByteArray verb,
                                 QByteArray body, RedirectRule redirects)
{
    if (redirects == RedirectRule::serviceEndpoint) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    }
    requireVerifiedPeer(request);
    const LaterDeleted<QNetworkReply> reply(verb == "GET" ? session.get(request)
                                                          : session.sendCustomRequest(request, verb, body));
    std::optional<QUrl> refused;
    QMetaObject::Connection redirectCheck;
    if (redirects == RedirectRule::serviceEndpoint) {
        QNetworkReply* const current = reply.get();
        redirectCheck =
            QObject::connect(current, &QNetworkReply::redirected, current, [current, &refused](const QUrl& to) {
                const QUrl target = current->url().resolved(to);
                if (isPermittedServiceEndpoint(target)) {
                    emit current->redirectAllowed();
                } else {
                    refused = target;
                    current->abort();
                }
            });
    }
    co_await reply.get();
    QObject::disconnect(redirectCheck);

    if (refused) {
        throw NerovaClientError::insecure(*refused);
    }
    if (const std::optional<ReplyFailure> failure = replyFailure(*reply)) {
        throw URLLoadingError(failure->code, failure->message);
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    HttpAnswer answer;
    if (status.isValid()) {
        answer.statusCode = status.toInt();
    }
    answer.headers = reply->rawHeaderPairs();
    answer.body = reply->readAll();
    co_return answer;
}

} // namespace nerova
