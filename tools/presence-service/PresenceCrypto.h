#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// The service's cryptography: the agent's public key, the encrypted registration payload and the
// signature of signed calls. Every failure is a Refusal.
namespace nerova::presence {

// The agent's PEM text exactly as the agent must write it; anything else is refused (400).
std::shared_ptr<EVP_PKEY> parsePublicKey(const QString& pem);

// One PKCS#1 v1.5 block for `key`; a failure is a 500 refusal.
QByteArray encryptPKCS1(EVP_PKEY* key, const QByteArray& plaintext);

bool equalInConstantTime(const QByteArray& a, const QByteArray& b);

// Whether `presentedHash` is the hex HMAC-SHA256 of body + timestamp under the agent's secret.
bool signatureMatches(const QByteArray& body, const QByteArray& timestamp, const QString& secret,
                      const QByteArray& presentedHash);

} // namespace nerova::presence
