#include "network/HttpReply.h"

#include "common/Error.h"

#include <QMetaEnum>
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
// error status", not "there was no answer".
bool isStatusError(QNetworkReply::NetworkError code)
{
    return (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError) ||
           code == QNetworkReply::ProtocolInvalidOperationError ||
           (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
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

void limitReply(QNetworkReply& reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes)
{
    QTimer::singleShot(deadline, &reply, [&reply, deadline] {
        stop(reply, QNetworkReply::TimeoutError,
             QStringLiteral("no complete answer within %1 ms").arg(deadline.count()));
    });
    QObject::connect(&reply, &QNetworkReply::downloadProgress, &reply, [&reply, maxBodyBytes](qint64 received, qint64) {
        if (received > maxBodyBytes) {
            stop(reply, QNetworkReply::UnknownContentError,
                 QStringLiteral("answer larger than %1 bytes").arg(maxBodyBytes));
        }
    });
}

QString ReplyFailure::description() const
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    return describeCase(name ? QString::fromLatin1(name) : QString::number(int(code)), message);
}

std::optional<ReplyFailure> replyFailure(const QNetworkReply& reply)
{
    const QVariant limit = reply.property(limitCodeProperty);
    if (!limit.isNull()) {
        return ReplyFailure{QNetworkReply::NetworkError(limit.toInt()),
                            reply.property(limitMessageProperty).toString()};
    }
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError ||
        (reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && isStatusError(error))) {
        return std::nullopt;
    }
    return ReplyFailure{error, reply.errorString()};
}

} // namespace nerova
