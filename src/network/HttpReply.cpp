#include "network/HttpReply.h"

#include "common/Error.h"

#include <QMetaEnum>
#include <QNetworkReply>

namespace nerova {

bool hasHttpResponse(const QNetworkReply& reply)
{
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        return false;
    }
    const int error = reply.error();
    return error == QNetworkReply::NoError ||
           (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

QString describeReplyError(const QNetworkReply& reply)
{
    // Qt cancels a reply whose transfer timeout expires; the agent cancels replies no other way.
    if (reply.error() == QNetworkReply::OperationCanceledError) {
        return describeCase(QStringLiteral("TimeoutError"), QStringLiteral("no data within the transfer timeout"));
    }
    const char* key = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply.error());
    return describeCase(key ? QString::fromLatin1(key) : QString::number(reply.error()), reply.errorString());
}

} // namespace nerova
