#include "network/HttpExchange.h"

#include "network/URLLoadingError.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace nerova {

namespace {

// Why limitReply stopped a reply, kept on the reply itself.
constexpr const char* limitCodeProperty = "nerovaLimitCode";
constexpr const char* limitMessageProperty = "nerovaLimitMessage";

// Records the first limit the reply ran into and stops it if it is still running.
void stop(QNetworkReply& reply, QNetworkReply::NetworkError code, const QString& message)
{
    if (reply.property(limitCodeProperty).isNull()) {
        reply.setProperty(limitCodeProperty, int(code));
        reply.setProperty(limitMessageProperty, message);
    }
    if (reply.isRunning()) {
        reply.abort();
    }
}

// Qt reports HTTP error statuses as reply errors too: these mean "the server answered with an
// error status", not "there was no answer". 407 comes as a proxy error, and 305 or a redirect
// without a usable Location as an unknown protocol.
bool isStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           code == QNetworkReply::ProxyAuthenticationRequiredError || code == QNetworkReply::ProtocolUnknownError ||
           code == QNetworkReply::ProtocolInvalidOperationError ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}

// A header value with CR or LF would end the header early and let the rest pass as headers of
// its own; such a request is never sent.
void refuseLineBreaks(const QNetworkRequest& request)
{
    for (const QByteArray& name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        if (value.contains('\r') || value.contains('\n')) {
            throw URLLoadingError(
                QNetworkReply::ProtocolInvalidOperationError,
                QStringLiteral("the value of the header %1 contains a line break").arg(QString::fromLatin1(name)));
        }
    }
}

// Bounds a request under way as `options` say, from now. The deadline's timer is a child of the
// reply, so that it goes with it; the caller stops it once the reply has finished.
void limitReply(QNetworkReply& reply, const ExchangeOptions& options)
{
    if (const std::optional<std::chrono::milliseconds> deadline = options.deadline) {
        auto* timer = new QTimer(&reply);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, &reply, [&reply, deadline] {
            stop(reply, QNetworkReply::TimeoutError,
                 QStringLiteral("no complete answer within %1 ms").arg(deadline->count()));
        });
        timer->start(*deadline);
    }
    if (const qint64 maxBodyBytes = options.maxBodyBytes; maxBodyBytes < std::numeric_limits<qint64>::max()) {
        QObject::connect(&reply, &QNetworkReply::downloadProgress, &reply,
                         [&reply, maxBodyBytes](qint64 received, qint64) {
                             if (received > maxBodyBytes) {
                                 stop(reply, QNetworkReply::UnknownContentError,
                                      QStringLiteral("answer larger than %1 bytes").arg(maxBodyBytes));
                             }
                         });
    }
}

// The failure of a finished reply: no connection, a time-out, a TLS error, a broken transfer, or a
// limit of the exchange. Nothing when the request got through, including HTTP error statuses.
std::optional<URLLoadingError> replyFailure(const QNetworkReply& reply)
{
    const QVariant limit = reply.property(limitCodeProperty);
    if (!limit.isNull()) {
        return URLLoadingError(QNetworkReply::NetworkError(limit.toInt()),
                               reply.property(limitMessageProperty).toString());
    }
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError ||
        (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && isStatusError(error))) {
        return std::nullopt;
    }
    return URLLoadingError(error, reply.errorString());
}

} // namespace

void requireVerifiedPeer(QNetworkRequest& request)
{
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    request.setSslConfiguration(tls);
}

QNetworkRequest verifiedRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    requireVerifiedPeer(request);
    return request;
}

QCoro::Task<HttpResponse> exchange(QNetworkAccessManager& session, QNetworkRequest request, ExchangeOptions options)
{
    if (options.permitRedirect) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    }
    requireVerifiedPeer(request);
    refuseLineBreaks(request);
    options.cancellation.throwIfCancelled();
    const LaterDeleted<QNetworkReply> reply(
        options.verb == "GET" ? session.get(request) : session.sendCustomRequest(request, options.verb, options.body));
    limitReply(*reply, options);
    const CancellationToken::Registration cancelled = options.cancellation.onCancel([current = reply.get()] {
        stop(*current, QNetworkReply::OperationCanceledError, QStringLiteral("cancelled"));
    });
    std::optional<QUrl> refused;
    QMetaObject::Connection redirectCheck;
    if (options.permitRedirect) {
        QNetworkReply* const current = reply.get();
        redirectCheck = QObject::connect(current, &QNetworkReply::redirected, current,
                                         [current, &refused, &options](const QUrl& to) {
                                             const QUrl target = current->url().resolved(to);
                                             if (options.permitRedirect(target)) {
                                                 emit current->redirectAllowed();
                                             } else {
                                                 refused = target;
                                                 current->abort();
                                             }
                                         });
    }
    co_await reply.get();
    QObject::disconnect(redirectCheck);
    for (QTimer* timer : reply->findChildren<QTimer*>(Qt::FindDirectChildrenOnly)) {
        timer->stop();
    }
    if (reply->property(limitCodeProperty) == int(QNetworkReply::OperationCanceledError)) {
        throw OperationCancelled();
    }

    HttpResponse response;
    response.url = reply->url();
    if (refused) {
        response.refusedRedirect = refused;
        co_return response;
    }
    if (std::optional<URLLoadingError> failure = replyFailure(*reply)) {
        throw std::move(*failure);
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        response.statusCode = status.toInt();
    }
    response.headers = reply->rawHeaderPairs();
    response.body = reply->readAll();
    co_return response;
}

} // namespace nerova
