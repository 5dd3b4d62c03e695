#include "service/HttpExchange.h"

#include "service/NerovaClient.h"
#include "service/NerovaClientError.h"
#include "service/URLLoadingError.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>

#include <memory>

namespace nerova {

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Qt reports HTTP error statuses as reply errors too; these codes mean "the server answered with
// an error status", not "there was no answer".
bool isStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           code == QNetworkReply::ProtocolInvalidOperationError ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}

} // namespace

QCoro::Task<HttpAnswer> exchange(QNetworkAccessManager& session, QNetworkRequest request, QByteArray verb,
                                 QByteArray body, RedirectRule redirects)
{
    if (redirects == RedirectRule::serviceEndpoint) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    }
    // Certificates are always verified, whatever the process-wide default says.
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    request.setSslConfiguration(tls);
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        verb == "GET" ? session.get(request) : session.sendCustomRequest(request, verb, body));
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
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError && !(status.isValid() && isStatusError(error))) {
        throw URLLoadingError(error, reply->errorString());
    }
    HttpAnswer answer;
    if (status.isValid()) {
        answer.statusCode = status.toInt();
    }
    answer.headers = reply->rawHeaderPairs();
    answer.body = reply->readAll();
    co_return answer;
}

} // namespace nerova
