// Runs on a private session bus (see with-session-bus.sh); CTest picks the functions that fit
// each bus: an unlocked keyring, a bus without any Secret Service, or no bus at all.
#include "service/AgentSecret.h"
#include "common/CaptureLogSink.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace nerova;
using namespace std::chrono_literals;

namespace {

struct Store {
    std::shared_ptr<CaptureLogSink> log = std::make_shared<CaptureLogSink>();
    AgentSecret secret;

    explicit Store(std::chrono::milliseconds timeout = 10s)
        : secret(Logger(QStringLiteral("app.nerova.NerovaAgent"), QStringLiteral("AgentSecret"), log), timeout)
    {}
};

QCoro::Task<std::optional<AgentSecretError>> tryWrite(AgentSecret& secret, QString text)
{
    try {
        co_await secret.write(std::move(text));
        co_return std::nullopt;
    } catch (const AgentSecretError& error) {
        co_return error;
    }
}

// The error that `write` raises, or none. (QCoro::waitFor never returns when its task throws.)
std::optional<AgentSecretError> writeError(AgentSecret& secret, const QString& text)
{
    return QCoro::waitFor(tryWrite(secret, text));
}

// Takes every call to the Secret Service's name and never answers, like a keyring whose unlock
// prompt nobody sees.
class SilentSecretService final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        message.setDelayedReply(true);
        return true;
    }
};

} // namespace

class AgentSecretTest : public QObject {
    Q_OBJECT

private slots:
    // With an unlocked keyring.

    void readsAbsentBeforeAnyWrite()
    {
        Store store;
        QCOMPARE(QCoro::waitFor(store.secret.read()), std::nullopt);
        QCOMPARE(QCoro::waitFor(store.secret.lookup()), std::nullopt);
        QCOMPARE(store.log->messages(), QStringList{"debug No agent secret stored"});
    }

    void roundTrips_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("ASCII") << QStringLiteral("s3cr3t-ABC+/=");
        QTest::newRow("non-ASCII") << QStringLiteral("Grüße, 秘密の鍵 🔑 ñ");
        QTest::newRow("leading byte-order mark kept") << QStringLiteral("\uFEFFbom");
        QTest::newRow("surrounding blanks kept") << QStringLiteral("  x \t");
        QTest::newRow("long") << QString(4096, u'k');
        QTest::newRow("replaced by empty") << QString();
    }

    void roundTrips()
    {
        QFETCH(QString, text);
        Store writer;
        QVERIFY(!writeError(writer.secret, text)); // replaces what the previous row stored
        Store reader;
        QCOMPARE(QCoro::waitFor(reader.secret.read()), std::optional(text));
        const QStringList lines = writer.log->messages() + reader.log->messages();
        QCOMPARE(lines, (QStringList{"debug Agent secret stored", "debug Agent secret found"}));
    }

    void refusesTextThatUtf8CannotCarry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + QLatin1Char('x');
        QTest::newRow("NUL character") << QStringLiteral("a") + QChar(0) + QLatin1Char('b');
    }

    void refusesTextThatUtf8CannotCarry()
    {
        QFETCH(QString, text);
        Store store;
        QVERIFY(!writeError(store.secret, QStringLiteral("kept")));
        const auto error = writeError(store.secret, text);
        QVERIFY(error);
        QCOMPARE(error->errorCase(), AgentSecretError::Case::invalidText);
        QCOMPARE(QCoro::waitFor(store.secret.read()), std::optional(QStringLiteral("kept")));
    }

    void configShowsOnlyThatASecretExists()
    {
        const QString secretText = QStringLiteral("do-not-show-me-ü");
        Store store;
        QVERIFY(!writeError(store.secret, secretText));
        QTemporaryDir home;
        QProcess agent;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        agent.setProcessEnvironment(environment);
        for (const QStringList& arguments :
             {QStringList{"--verbose", "config", "list"}, QStringList{"config", "get", "agentSecret"}}) {
            agent.start(QStringLiteral(NEROVA_AGENT_BINARY), arguments);
            QVERIFY(agent.waitForFinished(30'000));
            const QString out = QString::fromUtf8(agent.readAllStandardOutput());
            const QString err = QString::fromUtf8(agent.readAllStandardError());
            QCOMPARE(agent.exitCode(), 0);
            QVERIFY2(
                out.contains(QRegularExpression(QStringLiteral("(^agentSecret +present +credential store$|^present$)"),
                                                QRegularExpression::MultilineOption)),
                qPrintable(out));
            QVERIFY2(!out.contains(secretText) && !err.contains(secretText), qPrintable(out + err));
        }
        for (const LogRecord& record : store.log->records()) {
            QVERIFY(!record.message.contains(secretText));
        }
    }

    // On a bus where nothing provides the Secret Service.

    void failsFastWithoutSecretService()
    {
        Store store(60s); // a call that waited for its deadline would show as timedOut
        const auto error = writeError(store.secret, QStringLiteral("x"));
        QVERIFY(error);
        QCOMPARE(error->errorCase(), AgentSecretError::Case::noSecretService);
        QVERIFY2(error->message().contains(QLatin1String("gnome-keyring-daemon --start --components=secrets")),
                 qPrintable(error->message()));
        QCOMPARE(QCoro::waitFor(store.secret.read()), std::nullopt);
        const QStringList lines = store.log->messages();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith(
                     QLatin1String("error Cannot store the agent secret: noSecretService(\"no Secret Service")),
                 qPrintable(lines[0]));
        QVERIFY2(lines[1].startsWith(QLatin1String("error Cannot read the agent secret: noSecretService(")),
                 qPrintable(lines[1]));
    }

    // Runs last on its bus: the keychain library queues later calls behind the unanswered one.
    void givesUpOnASecretServiceThatNeverAnswers()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        SilentSecretService silent;
        QVERIFY(bus.registerVirtualObject(QStringLiteral("/"), &silent, QDBusConnection::SubPath));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.secrets")));

        Store store(500ms);
        const auto error = writeError(store.secret, QStringLiteral("x"));
        QVERIFY(error);
        QCOMPARE(error->errorCase(), AgentSecretError::Case::timedOut);
        QVERIFY2(error->message().contains(QLatin1String("unlock it")), qPrintable(error->message()));
        QCOMPARE(QCoro::waitFor(store.secret.read()), std::nullopt);
        QVERIFY(
            store.log->messages().last().startsWith(QLatin1String("error Cannot read the agent secret: timedOut(")));
    }

    // Without any session bus.

    void failsFastWithoutSessionBus()
    {
        Store store(60s);
        const auto error = writeError(store.secret, QStringLiteral("x"));
        QVERIFY(error);
        QCOMPARE(error->errorCase(), AgentSecretError::Case::noSessionBus);
        QVERIFY2(error->message().startsWith(QLatin1String("no D-Bus session bus is reachable")),
                 qPrintable(error->message()));
        QCOMPARE(QCoro::waitFor(store.secret.read()), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(AgentSecretTest)
#include "AgentSecretTest.moc"
