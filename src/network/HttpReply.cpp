#include "network/HttpReply.h"

#include "common/Error.h"

#include <QMetaEnum>
#include <QNetworkReply>
#include <QTimer>

namespace nerova {

namespace {

// Why limitReply stopped a reply, kept on the reply itself.
constexpr const char* failureProperty = "nerovaFailure";

// Marks the reply as failed for `reason` and stops it if it is still running.
void failFor(QNetworkReply& reply, const QString& reason)
{
    if (reply.property(failureProperty).isNull()) {
        reply.setProperty(failureProperty, reason);
    }
    if (reply.isRunning()) {
        reply.abort();
    }
}

} // namespace

void limitReply(QNetworkReply& reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes)
{
    QTimer::singleShot(deadline, &reply, [&reply, deadline] {
        failFor(reply, describeCase(QStringLiteral("TimeoutError"),
                                    QStringLiteral("no complete answer within %1 ms").arg(deadline.count())));
    });
    QObject::connect(&reply, &QNetworkReply::downloadProgress, &reply, [&reply, maxBodyBytes](qint64 received, qint64) {
        if (received > maxBodyBytes) {
            failFor(reply, describeCase(QStringLiteral("bodyTooLarge"),
                                        QStringLiteral("more than %1 bytes").arg(maxBodyBytes)));
        }
    });
}

std::optional<QString> replyFailure(const QNetworkReply& reply)
{
    const QVariant limit = reply.property(failureProperty);
    if (!limit.isNull()) {
        return limit.toString();
    }
    const QNetworkReply::NetworkError error = reply.error();
    const bool httpAnswer =
        reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
        ((error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
         (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError));
    if (error == QNetworkReply::NoError || httpAnswer) {
        return std::nullopt;
    }
    const char* key = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error);
    return describeCase(key ? QString::fromLatin1(key) : QString::number(error), reply.errorString());
}

} // namespace nerova
