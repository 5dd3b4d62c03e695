#include "service/NerovaClient.h"

#include "network/HttpExchange.h"
#include "service/NerovaClientError.h"

#include <QHostAddress>
#include <QNetworkRequest>

namespace nerova {

EmptyRecord EmptyRecord::fromJson(const Json& json, const QString& path)
{
    const JsonObjectReader reader(json, path); // only checks that it is an object
    return {};
}

bool isPermittedServiceEndpoint(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https") {
        return true;
    }
    if (scheme != u"http") {
        return false;
    }
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

NerovaClient::NerovaClient(QNetworkAccessManager& session, QUrl baseURL, std::chrono::milliseconds timeout)
    : session_(session), baseURL_(std::move(baseURL)), timeout_(timeout)
{}

QUrl NerovaClient::requestURL(const QString& path, const QueryItems& queryItems) const
{
    if (!baseURL_.isValid() || baseURL_.isRelative() || baseURL_.host().isEmpty()) {
        throw NerovaClientError::url();
    }
    QUrl url = baseURL_;
    QByteArray query = ""; // not null: an empty list still yields "?"
    for (const QueryItem& item : queryItems) {
        if (!query.isEmpty()) {
            query += '&';
        }
        query += QUrl::toPercentEncoding(item.name);
        if (item.value) {
            query += '=' + QUrl::toPercentEncoding(*item.value);
        }
    }
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    url.setPath(url.path(QUrl::FullyEncoded) + path, QUrl::TolerantMode);
    if (!url.isValid()) {
        throw NerovaClientError::url();
    }
    if (!isPermittedServiceEndpoint(url)) {
        throw NerovaClientError::insecure(baseURL_);
    }
    return url;
}

QCoro::Task<std::optional<QByteArray>> NerovaClient::postData(QString path, QByteArray body, HeaderMap headers,
                                                              QueryItems queryItems)
{
    QNetworkRequest request(requestURL(path, queryItems));
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    }
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));

    // Each redirect is held to the endpoint rule, so that a loopback http endpoint cannot forward
    // credentials in clear to another host.
    ExchangeOptions options;
    options.verb = QByteArrayLiteral("POST");
    options.body = body;
    options.permitRedirect = isPermittedServiceEndpoint;
    options.deadline = timeout_;
    options.maxBodyBytes = maxAnswerBytes;
    const HttpResponse answer = co_await exchange(session_, request, std::move(options));
    if (answer.refusedRedirect) {
        throw NerovaClientError::insecure(*answer.refusedRedirect);
    }
    if (answer.statusCode && *answer.statusCode >= 300) {
        if (!answer.body.isEmpty()) {
            std::optional<ServerError> serverError;
            try {
                serverError = ServerError::fromJson(parseJson(answer.body));
            } catch (const JsonDecodeError&) {
                // Not the service's error form: reported as the bare HTTP answer below.
            }
            if (serverError) {
                throw NerovaClientError::server(std::move(*serverError));
            }
        }
        throw NerovaClientError::http(answer);
    }
    if (answer.body.isEmpty()) {
        co_return std::nullopt;
    }
    co_return answer.body;
}

} // namespace nerova
