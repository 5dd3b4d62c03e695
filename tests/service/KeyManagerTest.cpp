#include "service/KeyManager.h"
#include "support/OpenSSLCommand.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <QTest>

using namespace nerova;
using namespace nerova::test;

class KeyManagerTest : public QObject {
    Q_OBJECT

    std::optional<KeyPair> pair_;
    QTemporaryDir dir_;
    QString pemPath_;

    // `plaintext` encrypted with PKCS#1 v1.5 padding for the public key in the PEM file at `pemPath`.
    QByteArray encryptWithOpenSSL(const QString& pemPath, const QByteArray& plaintext)
    {
        const QString plainPath = writeFile(dir_, QStringLiteral("plain.bin"), plaintext);
        return openssl({QStringLiteral("pkeyutl"), QStringLiteral("-encrypt"), QStringLiteral("-pubin"),
                        QStringLiteral("-inkey"), pemPath, QStringLiteral("-pkeyopt"),
                        QStringLiteral("rsa_padding_mode:pkcs1"), QStringLiteral("-in"), plainPath});
    }

private slots:
    void initTestCase()
    {
        pair_ = KeyManager::createKeyPair(QString::fromLatin1(KeyManager::registrationTag));
        pemPath_ = writeFile(dir_, QStringLiteral("key.pem"), KeyManager::publicKeyPEM(pair_->publicKey).toLatin1());
    }

    void pemLayout()
    {
        // A line feed after the first line, CR LF between the six full Base64 lines and the last one
        // of 8 characters, a line feed before the end marker and nothing after it.
        const QString pem = KeyManager::publicKeyPEM(pair_->publicKey);
        QCOMPARE(pem.size(), 456);
        static const QRegularExpression layout(QStringLiteral("^-----BEGIN PUBLIC KEY-----\n"
                                                              "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA"
                                                              "[A-Za-z0-9+/]{20}\r\n(?:[A-Za-z0-9+/]{64}\r\n){5}"
                                                              "[A-Za-z0-9+/]{8}\n-----END PUBLIC KEY-----$"));
        QVERIFY2(layout.match(pem).hasMatch(), qPrintable(pem));

        const QByteArray text = openssl({QStringLiteral("pkey"), QStringLiteral("-pubin"), QStringLiteral("-in"),
                                         pemPath_, QStringLiteral("-noout"), QStringLiteral("-text")});
        QVERIFY2(text.contains("Public-Key: (2048 bit)") && text.contains("Exponent: 65537"), text.constData());
    }

    void openSSLCiphertextDecrypts_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("plaintext");
        QTest::newRow("payload JSON")
            << QByteArray(R"({"secret":"c2VjcmV0","projectId":"p-1","instanceId":"i-1","nonce":"n0nce"})");
        QTest::newRow("245 bytes, the limit") << QByteArray(245, '\xfe');
        QTest::newRow("zero bytes inside") << QByteArray("\0\0a\0", 4);
        // clang-format on
    }

    void openSSLCiphertextDecrypts()
    {
        QFETCH(QByteArray, plaintext);
        const QByteArray ciphertext = encryptWithOpenSSL(pemPath_, plaintext);
        QCOMPARE(ciphertext.size(), 256);
        QCOMPARE(KeyManager::decryptPayload(ciphertext, pair_->privateKey), plaintext);
    }

    void badCiphertextsFail_data()
    {
        // clang-format off
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("otherKey");
        QTest::newRow("255 bytes") << 255 << false;
        QTest::newRow("257 bytes") << 257 << false;
        QTest::newRow("256 bytes of zeros") << 256 << false;
        QTest::newRow("block for another key") << 256 << true;
        // clang-format on
    }

    void badCiphertextsFail()
    {
        QFETCH(int, length);
        QFETCH(bool, otherKey);
        QByteArray ciphertext(length, '\0');
        if (otherKey) {
            const KeyPair other = KeyManager::createKeyPair(QStringLiteral("other"));
            const QString pem =
                writeFile(dir_, QStringLiteral("other.pem"), KeyManager::publicKeyPEM(other.publicKey).toLatin1());
            ciphertext = encryptWithOpenSSL(pem, "secret");
            QCOMPARE(KeyManager::decryptPayload(ciphertext, other.privateKey), QByteArray("secret"));
        }
        try {
            QFAIL(qPrintable("decrypted to " + KeyManager::decryptPayload(ciphertext, pair_->privateKey).toHex()));
        } catch (const KeyManagerError& error) {
            QCOMPARE(error.errorCase(), KeyManagerError::Case::decryptionError);
            QVERIFY(error.payload());
        }
    }
};

QTEST_GUILESS_MAIN(KeyManagerTest)
#include "KeyManagerTest.moc"
