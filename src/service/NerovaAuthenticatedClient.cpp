#include "service/NerovaAuthenticatedClient.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace nerova {

QString hexString(const QByteArray& bytes) { return QString::fromLatin1(bytes.toHex()); }

QByteArray hmacSHA256(const QByteArray& key, const QByteArray& message)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const char emptyKey = 0; // OpenSSL wants a key pointer even for an empty key
    if (!HMAC(EVP_sha256(), key.isEmpty() ? &emptyKey : key.constData(), int(key.size()),
              reinterpret_cast<const unsigned char*>(message.constData()), std::size_t(message.size()), mac, &length)) {
        qFatal("HMAC-SHA256 is not available");
    }
    return QByteArray(reinterpret_cast<const char*>(mac), int(length));
}

namespace {

// The hash of the exact body bytes followed by the timestamp digits.
QString signatureOf(const QString& secret, const QByteArray& body, qint64 timestamp)
{
    return hexString(hmacSHA256(secret.toUtf8(), body + QByteArray::number(timestamp)));
}

} // namespace

QString requestHash(const QString& secret, const QString& body, qint64 timestamp)
{
    return signatureOf(secret, body.toUtf8(), timestamp);
}

NerovaAuthenticatedClient::NerovaAuthenticatedClient(QNetworkAccessManager& session, QUrl baseURL, QString secret,
                                                     const Clock& clock, std::chrono::milliseconds timeout)
    : NerovaClient(session, std::move(baseURL), timeout), secret_(std::move(secret)), clock_(clock)
{}

QCoro::Task<std::optional<QByteArray>> NerovaAuthenticatedClient::postSignedData(QString path, QByteArray body,
                                                                                 QString projectId, QString instanceId)
{
    const qint64 timestamp = clock_.now().toSecsSinceEpoch();
    const QueryItems query{{QStringLiteral("projectId"), projectId}, {QStringLiteral("instanceId"), instanceId}};
    const HeaderMap headers{
        {QString::fromLatin1(NEROVA_TIMESTAMP_HEADER), QString::number(timestamp)},
        {QString::fromLatin1(NEROVA_HASH_HEADER), signatureOf(secret_, body, timestamp)},
    };
    co_return co_await postData(std::move(path), std::move(body), headers, query);
}

} // namespace nerova
