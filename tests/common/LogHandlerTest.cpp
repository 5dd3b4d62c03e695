// How the program describes its errors and where its log lines go.
#include "common/LogHandler.h"
#include "common/Error.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QTest>
#include <QUuid>

#include <cstring>
#include <stdexcept>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace nerova;

Q_LOGGING_CATEGORY(lcTestComponent, "nerova.TestComponent", QtInfoMsg)

namespace {

constexpr char journalSocket[] = "/run/systemd/journal/socket";

struct SampleCases {
    NEROVA_ERROR_CASES(first, // a comment between the cases
                       second, third);
};

class TextError final : public ErrorFamily<SampleCases> {
public:
    using ErrorFamily::ErrorFamily;
};
class OptionalError final : public ErrorFamily<SampleCases, std::optional<QString>> {
public:
    using ErrorFamily::ErrorFamily;
};
class BareError final : public ErrorFamily<SampleCases, std::monostate> {
public:
    using ErrorFamily::ErrorFamily;
};

} // namespace

class LogHandlerTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { QLoggingCategory::setFilterRules(QString()); }

    void descriptions()
    {
        const QStringList described{TextError(TextError::Case::first, "a\"b\\c\nd").description(),
                                    OptionalError(OptionalError::Case::second, QString("x")).description(),
                                    OptionalError(OptionalError::Case::second).description(),
                                    BareError(BareError::Case::third).description(),
                                    QString::fromUtf8(TextError(TextError::Case::second, "ü").what()),
                                    describeException(std::runtime_error("plain"))};
        QCOMPARE(described, (QStringList{"first(\"a\\\"b\\\\c\\nd\")", "second(\"x\")", "second", "third",
                                         "second(\"ü\")", "plain"}));
    }

    void lineForms_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("category");
        QTest::addColumn<bool>("located");
        QTest::addColumn<QStringList>("journal");
        QTest::addColumn<QByteArray>("console");

        const QStringList fixed{"SYSLOG_IDENTIFIER=nerova-agent", "NEROVA_SUBSYSTEM=app.nerova.NerovaAgent"};
        // clang-format off
        QTest::newRow("error of a component") << int(QtCriticalMsg) << QByteArray("nerova.Settings") << true
            << QStringList{"MESSAGE=m ü", "PRIORITY=3"} + fixed + QStringList{"NEROVA_CATEGORY=Settings", "CODE_FILE=src/X.cpp", "CODE_LINE=42", "CODE_FUNC=void f()"}
            << QByteArray("nerova-agent [Settings] error: m ü\n");
        QTest::newRow("Qt's warning, location unknown") << int(QtWarningMsg) << QByteArray("qt.network.ssl") << false
            << QStringList{"MESSAGE=m ü", "PRIORITY=4"} + fixed + QStringList{"NEROVA_CATEGORY=qt.network.ssl"}
            << QByteArray("qt.network.ssl: m ü\n"); // as Qt writes its own lines
        // clang-format on
    }

    void lineForms()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, category);
        QFETCH(bool, located);
        QFETCH(QStringList, journal);
        QFETCH(QByteArray, console);
        const QMessageLogContext context(located ? "src/X.cpp" : nullptr, located ? 42 : 0,
                                         located ? "void f()" : nullptr, category.constData());
        QStringList fields;
        for (const QByteArray& field : journalFields(QtMsgType(type), context, QStringLiteral("m ü"))) {
            fields.append(QString::fromUtf8(field));
        }
        QCOMPARE(fields, journal);
        QCOMPARE(consoleLine(QtMsgType(type), context, QStringLiteral("m ü")), console);
    }

    void debugLinesAreOffUntilEnabled()
    {
        QVERIFY(!lcTestComponent().isDebugEnabled());
        enableVerboseLogging();
        QVERIFY(lcTestComponent().isDebugEnabled());
    }

    // The innermost receiver sees lines first and passes on what it declines; receivers end in any order.
    void receiversNestAndPassOn()
    {
        QStringList outer;
        QStringList inner;
        auto outerReceiver = std::make_unique<LogReceiver>([&](QtMsgType, const char*, const QString& message) {
            outer.append(message);
            return true;
        });
        auto innerReceiver = std::make_unique<LogReceiver>([&](QtMsgType type, const char*, const QString& message) {
            inner.append(message);
            return type == QtCriticalMsg;
        });
        qCCritical(lcTestComponent, "kept");
        qCInfo(lcTestComponent, "declined");
        outerReceiver.reset();
        qCCritical(lcTestComponent, "after the outer ended");
        innerReceiver.reset();
        QTest::ignoreMessage(QtCriticalMsg, "after both ended");
        qCCritical(lcTestComponent, "after both ended");
        QCOMPARE(outer, (QStringList{"declined"}));
        QCOMPARE(inner, (QStringList{"kept", "declined", "after the outer ended"}));
    }

    // One line through the handler into the journal, read back: from journalctl, else from a stand-in socket.
    void journalReceivesTheFields()
    {
        const QByteArray message = "Journal test " + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        QMap<QByteArray, QByteArray> fields;
        if (QFileInfo::exists(QString::fromLatin1(journalSocket))) {
            logThroughTheHandler(message);
            QProcess journal;
            const auto readBack = [&] {
                journal.start(QStringLiteral("journalctl"),
                              {"-o", "json", "--no-pager", QStringLiteral("MESSAGE=") + QString::fromUtf8(message)});
                journal.waitForFinished(30'000);
                const QJsonObject entry =
                    QJsonDocument::fromJson(journal.readAllStandardOutput().split('\n').value(0)).object();
                for (auto it = entry.begin(); it != entry.end(); ++it) {
                    fields.insert(it.key().toUtf8(), it.value().toString().toUtf8());
                }
                return !fields.isEmpty();
            };
            QTRY_VERIFY_WITH_TIMEOUT(readBack(), 30'000);
        } else {
            if (::unshare(CLONE_NEWNS) != 0) {
                QSKIP("no journal runs here, and a stand-in for its socket needs a private mount namespace "
                      "(CAP_SYS_ADMIN)");
            }
            QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
            QCOMPARE(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0);
            QVERIFY(QDir().mkpath(QStringLiteral("/run/systemd/journal")));
            const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            QVERIFY(socket >= 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, journalSocket);
            QCOMPARE(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
            logThroughTheHandler(message);
            QByteArray datagram(64 * 1024, '\0');
            const ssize_t size = ::recv(socket, datagram.data(), datagram.size(), MSG_DONTWAIT);
            ::close(socket);
            QVERIFY2(size > 0, "nothing arrived at the journal socket");
            // "NAME=value" a line: the binary form is only for values that hold a newline, which these do not.
            for (const QByteArray& line : datagram.left(size).split('\n')) {
                if (const qsizetype equals = line.indexOf('='); equals > 0) {
                    fields.insert(line.left(equals), line.mid(equals + 1));
                }
            }
        }
        QCOMPARE(fields.value("MESSAGE"), message);
        QCOMPARE(fields.value("PRIORITY"), QByteArray("3"));
        QCOMPARE(fields.value("NEROVA_SUBSYSTEM"), QByteArray("app.nerova.NerovaAgent"));
        QCOMPARE(fields.value("NEROVA_CATEGORY"), QByteArray("TestComponent"));
        QVERIFY2(fields.value("CODE_FILE").endsWith("LogHandlerTest.cpp"), fields.value("CODE_FILE").constData());
        QVERIFY(fields.value("CODE_LINE").toInt() > 0);
        QVERIFY(fields.value("CODE_FUNC").contains("logThroughTheHandler"));
    }

private:
    static void logThroughTheHandler(const QByteArray& message)
    {
        const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
        installLogHandler();
        qCCritical(lcTestComponent, "%s", message.constData());
        qInstallMessageHandler(testHandler);
    }
};

QTEST_GUILESS_MAIN(LogHandlerTest)
#include "LogHandlerTest.moc"
