#pragma once

#include "common/Clock.h"
#include "service/NerovaClient.h"

namespace nerova {

// Lower-case hexadecimal, two digits per byte, no separators.
QString hexString(const QByteArray& bytes);

// HMAC-SHA256 (RFC 2104) of `message` keyed with `key`: 32 bytes.
QByteArray hmacSHA256(const QByteArray& key, const QByteArray& message);

// HMAC-SHA256 over the body text immediately followed by the timestamp's decimal digits, keyed
// with the secret's UTF-8 bytes, as lower-case hex (64 characters).
QString requestHash(const QString& secret, const QString& body, qint64 timestamp);

// A NerovaClient that signs each request with the agent's shared secret and names the agent's
// project and instance in the query. The service checks the hash against the raw body it
// received, so the bytes sent are exactly the bytes hashed.
class NerovaAuthenticatedClient : public NerovaClient {
public:
    static constexpr const char* NEROVA_TIMESTAMP_HEADER = "x-nerova-agent-timestamp";
    static constexpr const char* NEROVA_HASH_HEADER = "x-nerova-agent-hash";

    NerovaAuthenticatedClient(QNetworkAccessManager& session, QUrl baseURL, QString secret, const Clock& clock,
                              std::chrono::milliseconds timeout = defaultTimeout);

    // Encodes `request` (its toJson(), compact) and posts it signed; `Request` and `Response` are
    // the endpoint's records. Failures are those of post.
    template <typename Response, typename Request>
    QCoro::Task<std::optional<Response>> postSigned(QString path, Request request, QString projectId,
                                                    QString instanceId)
    {
        const std::string encoded = request.toJson().dump();
        const std::optional<QByteArray> data =
            co_await postSignedData(std::move(path), QByteArray(encoded.data(), qsizetype(encoded.size())),
                                    std::move(projectId), std::move(instanceId));
        if (!data) {
            co_return std::nullopt;
        }
        co_return Response::fromJson(parseJson(*data), QString());
    }

    // As postSigned, with the body already encoded and the answer left undecoded.
    QCoro::Task<std::optional<QByteArray>> postSignedData(QString path, QByteArray body, QString projectId,
                                                          QString instanceId);

private:
    QString secret_;
    const Clock& clock_;
};

// Base of the clients of the signed endpoints (check-in, presence, registration completion): each is
// built for one call and posts through `client`.
class SignedEndpointClient {
public:
    SignedEndpointClient(QNetworkAccessManager& session, QUrl baseURL, QString secret, const Clock& clock,
                         std::chrono::milliseconds timeout = NerovaClient::defaultTimeout)
        : client(session, std::move(baseURL), std::move(secret), clock, timeout)
    {}

    NerovaAuthenticatedClient client;
};

} // namespace nerova
