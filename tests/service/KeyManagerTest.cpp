#include "service/KeyManager.h"
#include "common/Await.h"
#include "support/OpenSSLCommand.h"
#include "support/TestSupport.h"

#include <QTest>
#include <QThread>

using namespace nerova;
using namespace nerova::test;

Q_DECLARE_METATYPE(KeyManagerError::Case)

namespace {

// `plaintext` encrypted with PKCS#1 v1.5 padding for the public key in the PEM file at `pemPath`.
QByteArray encryptWithOpenSSL(const QString& pemPath, const QByteArray& plaintext)
{
    QTemporaryDir dir;
    const QString plainPath = writeFile(dir, QStringLiteral("plain.bin"), plaintext);
    return openssl({QStringLiteral("pkeyutl"), QStringLiteral("-encrypt"), QStringLiteral("-pubin"),
                    QStringLiteral("-inkey"), pemPath, QStringLiteral("-pkeyopt"),
                    QStringLiteral("rsa_padding_mode:pkcs1"), QStringLiteral("-in"), plainPath});
}

} // namespace

class KeyManagerTest : public QObject {
    Q_OBJECT

    std::optional<KeyPair> pair_;
    QTemporaryDir dir_;
    QString pemPath_;

private slots:
    void initTestCase()
    {
        pair_ = KeyManager::createKeyPair(QString::fromLatin1(KeyManager::registrationTag));
        pemPath_ = writeFile(dir_, QStringLiteral("key.pem"), KeyManager::publicKeyPEM(pair_->publicKey).toLatin1());
    }

    void pemLayout()
    {
        const QString pem = KeyManager::publicKeyPEM(pair_->publicKey);
        QCOMPARE(pem.size(), 456);
        QVERIFY(
            pem.startsWith(QLatin1String("-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA")));
        QVERIFY(pem.endsWith(QLatin1String("\n-----END PUBLIC KEY-----")));
        const QString base64 = pem.mid(27, 392 + 12);
        const QStringList lines = base64.split(QLatin1String("\r\n"));
        QCOMPARE(lines.size(), 7);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(lines[i].size(), 64);
        }
        QCOMPARE(lines[6].size(), 8);
        QCOMPARE(pem.count(u'\n'), 8); // six CR LF pairs and two bare line feeds
        QCOMPARE(pem.count(u'\r'), 6);
        QCOMPARE(pem[26], QChar(u'\n'));
        QCOMPARE(pem[25], QChar(u'-'));
    }

    void pemParsesWithOpenSSL()
    {
        if (!haveOpenSSL()) {
            QSKIP("the openssl command is not installed (scripts/bootstrap installs it)");
        }
        const QByteArray text = openssl({QStringLiteral("pkey"), QStringLiteral("-pubin"), QStringLiteral("-in"),
                                         pemPath_, QStringLiteral("-noout"), QStringLiteral("-text")});
        QVERIFY2(text.contains("Public-Key: (2048 bit)"), text.constData());
        QVERIFY(text.contains("Exponent: 65537"));
    }

    void openSSLCiphertextDecrypts_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("plaintext");
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("payload JSON")
            << QByteArray( R"({"secret":"c2VjcmV0","projectId":"p-1","instanceId":"i-1","nonce":"n0nce"})");
        QTest::newRow("245 bytes, the limit") << QByteArray(245, '\xfe');
        QTest::newRow("zero bytes inside") << QByteArray("\0\0a\0", 4);
        // clang-format on
    }

    void openSSLCiphertextDecrypts()
    {
        QFETCH(QByteArray, plaintext);
        if (!haveOpenSSL()) {
            QSKIP("the openssl command is not installed (scripts/bootstrap installs it)");
        }
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
        QTest::newRow("empty") << 0 << false;
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
            if (!haveOpenSSL()) {
                QSKIP("the openssl command is not installed (scripts/bootstrap installs it)");
            }
            const KeyPair other = KeyManager::createKeyPair(QStringLiteral("other"));
            const QString pem =
                writeFile(dir_, QStringLiteral("other.pem"), KeyManager::publicKeyPEM(other.publicKey).toLatin1());
            ciphertext = encryptWithOpenSSL(pem, "secret");
            QCOMPARE(KeyManager::decryptPayload(ciphertext, other.privateKey), QByteArray("secret"));
        }
        try {
            const QByteArray plain = KeyManager::decryptPayload(ciphertext, pair_->privateKey);
            QFAIL(qPrintable("decrypted to " + plain.toHex()));
        } catch (const KeyManagerError& error) {
            QCOMPARE(error.errorCase(), KeyManagerError::Case::decryptionError);
            QVERIFY(error.detail());
        }
    }

    void nothingIsEverFound()
    {
        const QString tag = QString::fromLatin1(KeyManager::registrationTag);
        QVERIFY(!KeyManager::findKeyPair(tag));
        KeyManager::createKeyPair(tag);
        QVERIFY(!KeyManager::findKeyPair(tag));
    }

    void tagsMustBeText()
    {
        const QString loneSurrogate(QChar(0xd800));
        for (const auto& call : {std::function<void()>([&] { KeyManager::findKeyPair(loneSurrogate); }),
                                 std::function<void()>([&] { KeyManager::createKeyPair(loneSurrogate); })}) {
            try {
                call();
                QFAIL("accepted");
            } catch (const KeyManagerError& error) {
                QCOMPARE(error.errorCase(), KeyManagerError::Case::tagConversionError);
                QCOMPARE(error.description(), QStringLiteral("tagConversionError"));
            }
        }
    }

    void generationInTheBackground()
    {
        const KeyPair pair = await(KeyManager::createKeyPairInBackground(QStringLiteral("t")));
        QCOMPARE(KeyManager::publicKeyPEM(pair.publicKey).size(), 456);
        QVERIFY(KeyManager::publicKeyPEM(pair.publicKey) != KeyManager::publicKeyPEM(pair_->publicKey));
        try {
            await(KeyManager::createKeyPairInBackground(QString(QChar(0xdc00))));
            QFAIL("accepted");
        } catch (const KeyManagerError& error) {
            QCOMPARE(error.errorCase(), KeyManagerError::Case::tagConversionError);
        }
    }
};

QTEST_GUILESS_MAIN(KeyManagerTest)
#include "KeyManagerTest.moc"
