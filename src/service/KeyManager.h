#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>

#include <memory>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;

namespace nerova {

struct KeyManagerErrorCases {
    NEROVA_ERROR_CASES(keyGenerationError, publicKeyRetrivalError, keyDataRetrievalError, encryptionError,
                       decryptionError, tagConversionError, algorithmNotSupported);
};

// A failure of the key services, with the cryptography library's error text where there is one:
// decryptionError("ciphertext is 255 bytes, one block of 256 bytes expected").
class KeyManagerError final : public ErrorFamily<KeyManagerErrorCases, std::optional<QString>> {
public:
    using ErrorFamily::ErrorFamily;
};

// A handle to a key held in memory by OpenSSL; copies share the key. The tag keeps private and
// public keys apart in the type system.
template <typename Tag>
class KeyHandle {
public:
    explicit KeyHandle(std::shared_ptr<EVP_PKEY> key) : key_(std::move(key)) {}
    EVP_PKEY* get() const { return key_.get(); }

private:
    std::shared_ptr<EVP_PKEY> key_;
};
using PrivateKey = KeyHandle<struct PrivateKeyTag>;
using PublicKey = KeyHandle<struct PublicKeyTag>;

struct KeyPair {
    PrivateKey privateKey;
    PublicKey publicKey;
};

// The agent's RSA key pair for registration: 2048 bits, created in memory and never persisted, so
// a lookup finds nothing and every registration attempt uses a fresh pair.
class KeyManager {
public:
    static constexpr const char* registrationTag = "app.nerova.nerovaagent";
    static constexpr int modulusBits = 2048;

    // Never finds a pair (none is ever stored); raises tagConversionError for a tag that is not
    // valid UTF-16 text.
    static std::optional<KeyPair> findKeyPair(const QString& tag);
    // Generates a pair; CPU-heavy (tens to hundreds of milliseconds): keep it off the main thread.
    static KeyPair createKeyPair(const QString& tag);
    // createKeyPair on a worker thread of the global pool; errors reach the awaiting coroutine.
    static QCoro::Task<KeyPair> createKeyPairInBackground(QString tag);

    // The SubjectPublicKeyInfo as PEM: the header and a line feed, Base64 in lines of 64
    // characters joined by CR LF, a line feed and the footer, with no line break at the end
    // (456 characters for a 2048-bit key).
    static QString publicKeyPEM(const PublicKey& key);

    // Decrypts one RSA block (the key's size exactly) padded with PKCS#1 v1.5.
    static QByteArray decryptPayload(const QByteArray& ciphertext, const PrivateKey& key);
};

} // namespace nerova
