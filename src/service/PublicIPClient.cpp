#include "service/PublicIPClient.h"

#include "common/Json.h"
#include "network/HttpReply.h"
#include "service/PublicIPAnswer.h"
#include "service/URLLoadingError.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace nerova {

QUrl PublicIPClient::defaultEndpoint() { return QUrl(QStringLiteral("https://api.ipify.org?format=json")); }

PublicIPClient::PublicIPClient(QUrl ipApi, std::chrono::milliseconds timeout)
    : ipApi_(std::move(ipApi)), timeout_(timeout)
{}

QCoro::Task<std::optional<QString>> PublicIPClient::fetchPublicIP() const
{
    // A fresh manager per lookup: nothing is shared with the service client. It owns the reply.
    const LaterDeleted<QNetworkAccessManager> session(new QNetworkAccessManager);
    QNetworkReply* reply = session->get(verifiedRequest(ipApi_));
    limitReply(*reply, timeout_, maxAnswerBytes);
    co_await reply;

    if (const std::optional<ReplyFailure> failure = replyFailure(*reply)) {
        throw URLLoadingError(failure->code, failure->message);
    }
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        co_return std::nullopt;
    }
    const Json answer = parseJson(reply->readAll());
    co_return PublicIPAnswer::fromJson(answer, {}).ip;
}

} // namespace nerova
