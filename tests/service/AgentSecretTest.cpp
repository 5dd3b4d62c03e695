// Runs on a private session bus (with-session-bus.sh); CTest picks the functions that fit each
// bus: an unlocked keyring, a bus without any Secret Service, or no bus at all.
#include "service/AgentSecret.h"
#include "common/Await.h"
#include "support/SilentSecretService.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QRegularExpression>
#include <QTest>

using namespace nerova;
using namespace std::chrono_literals;

namespace {

struct Store {
    std::shared_ptr<test::LogCapture> log = std::make_shared<test::LogCapture>();
    AgentSecret secret;

    explicit Store(std::chrono::milliseconds timeout = 10s) : secret(timeout) {}

    // Empty when `text` was stored, else the error's description.
    QString write(const QString& text)
    {
        try {
            await(secret.write(text));
            return {};
        } catch (const AgentSecretError& error) {
            return error.description();
        }
    }
};

} // namespace

class AgentSecretTest : public QObject {
    Q_OBJECT

private slots:
    void readsAbsentBeforeAnyWrite()
    {
        Store store;
        QCOMPARE(await(store.secret.read()), std::nullopt);
        QCOMPARE(await(store.secret.lookup()), std::nullopt);
        QCOMPARE(store.log->errors(), QStringList());
    }

    // Each row first stores "kept"; text that would not read back unchanged is refused.
    void roundTrips_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("refused");
        QTest::newRow("non-ASCII") << QStringLiteral("s3cr3t+/= Grüße, 秘密の鍵 🔑 ñ") << false;
        QTest::newRow("leading byte-order mark kept") << QStringLiteral("\uFEFFbom") << false;
        QTest::newRow("replaced by empty") << QString() << false;
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + QLatin1Char('x') << true;
        QTest::newRow("NUL character") << QStringLiteral("a") + QChar(0) + QLatin1Char('b') << true;
    }

    void roundTrips()
    {
        QFETCH(QString, text);
        QFETCH(bool, refused);
        Store writer;
        QCOMPARE(writer.write(QStringLiteral("kept")), QString());
        const QString error = writer.write(text);
        QVERIFY2(refused ? error.startsWith(QLatin1String("invalidText(")) : error.isEmpty(), qPrintable(error));
        Store reader;
        QCOMPARE(await(reader.secret.read()), std::optional(refused ? QStringLiteral("kept") : text));
        QVERIFY(refused || (writer.log->errors() + reader.log->errors()).isEmpty());
        QVERIFY(text.isEmpty() ||
                !(writer.log->all() + reader.log->all()).join(u'\n').contains(text)); // nor in debug lines
    }

    // Each row on its own bus: one without any Secret Service, the same bus where a silent one then
    // appears (last: the keychain library queues later calls behind the unanswered one), none at all.
    void failures_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("errorCase");
        QTest::addColumn<QString>("hint"); // in the error's text
        // clang-format off
        QTest::newRow("noSecretService") << false << "noSecretService" << "gnome-keyring-daemon --start --components=secrets";
        QTest::newRow("silentSecretService") << true << "timedOut" << "unlock it";
        QTest::newRow("noSessionBus") << false << "noSessionBus" << "no D-Bus session bus is reachable";
        // clang-format on
    }

    void failures()
    {
        QFETCH(bool, silent);
        QFETCH(QString, errorCase);
        QFETCH(QString, hint);
        test::SilentSecretService silentService;
        if (silent) {
            QDBusConnection bus = QDBusConnection::sessionBus();
            QVERIFY(bus.registerVirtualObject(QStringLiteral("/"), &silentService, QDBusConnection::SubPath));
            QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.secrets")));
        }
        Store store(silent ? 500ms : 60s); // a call that waited for a deadline of 60 s would show as timedOut
        const QString error = store.write(QStringLiteral("x"));
        QVERIFY2(error.startsWith(errorCase + u'(') && error.contains(hint), qPrintable(error));
        QCOMPARE(await(store.secret.read()), std::nullopt);
        QStringList lines = store.log->errors();
        lines.replaceInStrings(QRegularExpression(QStringLiteral("\\(.*")), QString());
        QCOMPARE(lines, (QStringList{"Cannot store the agent secret: " + errorCase,
                                     "Cannot read the agent secret: " + errorCase}));
    }
};

QTEST_GUILESS_MAIN(AgentSecretTest)
#include "AgentSecretTest.moc"
