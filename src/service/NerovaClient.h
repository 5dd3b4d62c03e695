#pragma once

#include "common/Json.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QMap>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace nerova {

using HeaderMap = QMap<QString, QString>;

struct QueryItem {
    QString name;
    std::optional<QString> value; // absent: the name alone, without "="
};
using QueryItems = QList<QueryItem>;

// The answer of an endpoint whose content is not used: any JSON object.
struct EmptyRecord {
    static EmptyRecord fromJson(const Json& json, const QString& path);
};

// Where the agent may send its registration key and signed requests: https anywhere, plain http
// only to a loopback host (development, the demo, the tests).
bool isPermittedServiceEndpoint(const QUrl& url);

// Posts JSON documents to the presence service and decodes the answers. Built per operation on
// the process's shared QNetworkAccessManager; it keeps no state between calls and neither logs
// nor retries.
class NerovaClient {
public:
    // Bounds of one call as a whole, however slowly the answer trickles in.
    static constexpr std::chrono::milliseconds defaultTimeout = std::chrono::seconds(60);
    static constexpr qint64 maxAnswerBytes = 1024 * 1024;

    NerovaClient(QNetworkAccessManager& session, QUrl baseURL, std::chrono::milliseconds timeout = defaultTimeout);

    QNetworkAccessManager& session() const { return session_; }
    const QUrl& baseURL() const { return baseURL_; }

    // Sends `body` (an encoded JSON document) and yields the decoded answer, or nothing for a
    // successful empty answer. Raises NerovaClientError for refused calls and unusable URLs,
    // URLLoadingError when no answer came (or it outgrew maxAnswerBytes or the timeout, or a header value
    // holds a line break), JsonDecodeError for an undecodable success body.
    template <typename Response>
    QCoro::Task<std::optional<Response>> post(QString path, QByteArray body, HeaderMap headers, QueryItems queryItems)
    {
        const std::optional<QByteArray> data =
            co_await postData(std::move(path), std::move(body), std::move(headers), std::move(queryItems));
        if (!data) {
            co_return std::nullopt;
        }
        co_return Response::fromJson(parseJson(*data), QString());
    }

    // As post, without decoding: the body of a successful answer, absent when empty.
    QCoro::Task<std::optional<QByteArray>> postData(QString path, QByteArray body, HeaderMap headers,
                                                    QueryItems queryItems);

    // The address a post goes to: the base URL with its query replaced by `queryItems` (an empty
    // list still gives an empty query, "?") and `path` appended to its path as it is. Raises
    // urlError when no URL can be formed and insecureEndpoint when it may not be used.
    QUrl requestURL(const QString& path, const QueryItems& queryItems) const;

private:
    QNetworkAccessManager& session_;
    QUrl baseURL_;
    std::chrono::milliseconds timeout_;
};

} // namespace nerova
