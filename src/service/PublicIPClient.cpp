#include "service/PublicIPClient.h"

#include "common/Json.h"
#include "common/SettingKey.h"
#include "network/HttpExchange.h"
#include "service/PublicIPAnswer.h"

#include <QNetworkAccessManager>

namespace nerova {

QUrl PublicIPClient::defaultEndpoint()
{
    return QUrl(QString::fromLatin1(findSettingKey(QString::fromLatin1(settingskey::publicIpEndpoint))->byDefault));
}

PublicIPClient::PublicIPClient(QUrl ipApi, std::chrono::milliseconds timeout)
    : ipApi_(std::move(ipApi)), timeout_(timeout)
{}

QCoro::Task<std::optional<QString>> PublicIPClient::fetchPublicIP() const
{
    // A fresh manager per lookup: nothing is shared with the service client.
    const LaterDeleted<QNetworkAccessManager> session(new QNetworkAccessManager);
    ExchangeOptions options;
    options.deadline = timeout_;
    options.maxBodyBytes = maxAnswerBytes;
    const HttpResponse response = co_await exchange(*session, QNetworkRequest(ipApi_), std::move(options));
    if (response.statusCode != 200) {
        co_return std::nullopt;
    }
    const Json answer = parseJson(response.body);
    co_return PublicIPAnswer::fromJson(answer, {}).ip;
}

} // namespace nerova
