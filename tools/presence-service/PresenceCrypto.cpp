#include "tools/presence-service/PresenceCrypto.h"
#include "tools/presence-service/Refusal.h"

#include <QMessageAuthenticationCode>
#include <QStringList>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace nerova::presence {

std::shared_ptr<EVP_PKEY> parsePublicKey(const QString& pem)
{
    static const QString header = QStringLiteral("-----BEGIN PUBLIC KEY-----\n");
    static const QString footer = QStringLiteral("\n-----END PUBLIC KEY-----");
    if (!pem.startsWith(header) || !pem.endsWith(footer) || pem.size() < header.size() + footer.size()) {
        refuse(400, QStringLiteral("publicKey: not a PEM public key (header, footer or line feeds wrong)"));
    }
    const QStringList lines =
        pem.mid(header.size(), pem.size() - header.size() - footer.size()).split(QStringLiteral("\r\n"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool last = i == lines.size() - 1;
        if ((!last && lines[i].size() != 64) || (last && (lines[i].isEmpty() || lines[i].size() > 64))) {
            refuse(400, QStringLiteral("publicKey: Base64 line %1 is %2 characters (64 per line, CR LF between lines)")
                            .arg(i + 1)
                            .arg(lines[i].size()));
        }
    }
    const auto decoded =
        QByteArray::fromBase64Encoding(lines.join(QString()).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        refuse(400, QStringLiteral("publicKey: invalid Base64"));
    }
    const auto* cursor = reinterpret_cast<const unsigned char*>(decoded.decoded.constData());
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, long(decoded.decoded.size()));
    ERR_clear_error();
    if (!key) {
        refuse(400, QStringLiteral("publicKey: not a SubjectPublicKeyInfo"));
    }
    std::shared_ptr<EVP_PKEY> owned(key, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) != 2048) {
        refuse(400, QStringLiteral("publicKey: an RSA key of 2048 bits is required"));
    }
    return owned;
}

QByteArray encryptPKCS1(EVP_PKEY* key, const QByteArray& plaintext)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), EVP_PKEY_CTX_free);
    const auto* input = reinterpret_cast<const unsigned char*>(plaintext.constData());
    std::size_t length = 0;
    if (!context || EVP_PKEY_encrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(context.get(), nullptr, &length, input, std::size_t(plaintext.size())) <= 0) {
        ERR_clear_error();
        refuse(500, QStringLiteral("payload encryption is not available"));
    }
    QByteArray ciphertext(qsizetype(length), Qt::Uninitialized);
    if (EVP_PKEY_encrypt(context.get(), reinterpret_cast<unsigned char*>(ciphertext.data()), &length, input,
                         std::size_t(plaintext.size())) <= 0) {
        ERR_clear_error();
        refuse(500, QStringLiteral("payload encryption failed"));
    }
    ciphertext.truncate(qsizetype(length));
    return ciphertext;
}

bool equalInConstantTime(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool signatureMatches(const QByteArray& body, const QByteArray& timestamp, const QString& secret,
                      const QByteArray& presentedHash)
{
    const QByteArray expected =
        QMessageAuthenticationCode::hash(body + timestamp, secret.toUtf8(), QCryptographicHash::Sha256).toHex();
    return equalInConstantTime(presentedHash, expected);
}

} // namespace nerova::presence
