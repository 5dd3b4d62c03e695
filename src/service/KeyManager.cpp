#include "service/KeyManager.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace nerova {

namespace {

using Case = KeyManagerError::Case;

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

struct ContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_PKEY_CTX, ContextFree>;

// Drains OpenSSL's error queue of this thread into one text; `fallback` when it is empty.
QString takeOpenSSLErrors(const char* fallback)
{
    QStringList texts;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        texts.append(QString::fromLatin1(buffer));
    }
    return texts.isEmpty() ? QString::fromLatin1(fallback) : texts.join(QLatin1String("; "));
}

void checkTag(const QString& tag)
{
    if (!tag.isValidUtf16()) {
        throw KeyManagerError(Case::tagConversionError);
    }
}

QByteArray publicKeyDER(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        throw KeyManagerError(Case::publicKeyRetrivalError, takeOpenSSLErrors("public key cannot be encoded"));
    }
    QByteArray result(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    return result;
}

// The public half of a key pair, as a key object of its own that holds no private parts.
PublicKey derivePublicKey(EVP_PKEY* privateKey)
{
    const QByteArray der = publicKeyDER(privateKey);
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    EVP_PKEY* publicKey = d2i_PUBKEY(nullptr, &cursor, long(der.size()));
    if (!publicKey) {
        throw KeyManagerError(Case::publicKeyRetrivalError, takeOpenSSLErrors("public key cannot be derived"));
    }
    return PublicKey(own(publicKey));
}

} // namespace

std::optional<KeyPair> KeyManager::findKeyPair(const QString& tag)
{
    checkTag(tag);
    return std::nullopt;
}

KeyPair KeyManager::createKeyPair(const QString& tag)
{
    checkTag(tag);
    Context context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), modulusBits) <= 0 ||
        EVP_PKEY_generate(context.get(), &generated) <= 0) {
        throw KeyManagerError(Case::keyGenerationError, takeOpenSSLErrors("RSA key generation failed"));
    }
    PrivateKey privateKey(own(generated));
    PublicKey publicKey = derivePublicKey(privateKey.get());
    return KeyPair{std::move(privateKey), std::move(publicKey)};
}

QCoro::Task<KeyPair> KeyManager::createKeyPairInBackground(QString tag)
{
    struct Outcome {
        std::optional<KeyPair> pair;
        std::exception_ptr error;
    };
    QFuture<Outcome> future = QtConcurrent::run([tag]() {
        Outcome outcome;
        try {
            outcome.pair = createKeyPair(tag);
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    const Outcome outcome = co_await future;
    if (outcome.error) {
        std::rethrow_exception(outcome.error);
    }
    co_return *outcome.pair;
}

QString KeyManager::publicKeyPEM(const PublicKey& key)
{
    if (!key.get() || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        throw KeyManagerError(Case::publicKeyRetrivalError, QStringLiteral("not an RSA key"));
    }
    const QByteArray base64 = publicKeyDER(key.get()).toBase64();
    QStringList lines;
    for (qsizetype start = 0; start < base64.size(); start += 64) {
        lines.append(QString::fromLatin1(base64.mid(start, 64)));
    }
    return QStringLiteral("-----BEGIN PUBLIC KEY-----\n") + lines.join(QLatin1String("\r\n")) +
           QStringLiteral("\n-----END PUBLIC KEY-----");
}

QByteArray KeyManager::decryptPayload(const QByteArray& ciphertext, const PrivateKey& key)
{
    if (!key.get() || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        throw KeyManagerError(Case::algorithmNotSupported);
    }
    const int blockSize = EVP_PKEY_get_size(key.get());
    if (ciphertext.size() != blockSize) {
        // OpenSSL would accept a shorter block as if it had leading zeros; one whole block is the rule.
        throw KeyManagerError(Case::decryptionError,
                              QStringLiteral("ciphertext is %1 bytes, one block of %2 bytes expected")
                                  .arg(ciphertext.size())
                                  .arg(blockSize));
    }
    Context context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) {
        throw KeyManagerError(Case::algorithmNotSupported);
    }
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
    // Newer OpenSSL answers random bytes for a bad block instead of failing; a registration
    // payload must fail visibly.
    unsigned int implicitRejection = 0;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &implicitRejection), OSSL_PARAM_END};
    EVP_PKEY_CTX_set_params(context.get(), params);
#endif
    const auto* input = reinterpret_cast<const unsigned char*>(ciphertext.constData());
    std::size_t length = 0;
    if (EVP_PKEY_decrypt(context.get(), nullptr, &length, input, std::size_t(ciphertext.size())) <= 0) {
        throw KeyManagerError(Case::decryptionError, takeOpenSSLErrors("decryption failed"));
    }
    QByteArray plaintext(qsizetype(length), Qt::Uninitialized);
    if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &length, input,
                         std::size_t(ciphertext.size())) <= 0) {
        throw KeyManagerError(Case::decryptionError, takeOpenSSLErrors("decryption failed"));
    }
    plaintext.truncate(qsizetype(length));
    return plaintext;
}

} // namespace nerova
