// How the program describes its errors and where its log lines go.
#include "common/LogHandler.h"
#include "common/Error.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTest>
#include <QUuid>

#include <stdexcept>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace nerova;

Q_LOGGING_CATEGORY(lcTestComponent, "nerova.TestComponent", QtInfoMsg)

namespace {

struct SampleCases {
    NEROVA_ERROR_CASES(first, // a comment between the cases
                       second, third);
};

using TextError = ErrorFamily<SampleCases>;
using OptionalError = ErrorFamily<SampleCases, std::optional<QString>>;
using BareError = ErrorFamily<SampleCases, std::monostate>;

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

    void lineForms()
    {
        const auto check = [](QtMsgType type, const QMessageLogContext& context, const QByteArrayList& located,
                              const QByteArray& console) {
            QCOMPARE(journalFields(type, context, QStringLiteral("m ü")),
                     (QByteArrayList{"MESSAGE=m ü", type == QtCriticalMsg ? "PRIORITY=3" : "PRIORITY=4",
                                     "SYSLOG_IDENTIFIER=nerova-agent", "NEROVA_SUBSYSTEM=app.nerova.NerovaAgent"} +
                      located));
            QCOMPARE(consoleLine(type, context, QStringLiteral("m ü")), console);
        };
        check(QtCriticalMsg, QMessageLogContext("src/X.cpp", 42, "void f()", "nerova.Settings"),
              {"NEROVA_CATEGORY=Settings", "CODE_FILE=src/X.cpp", "CODE_LINE=42", "CODE_FUNC=void f()"},
              "nerova-agent [Settings] error: m ü\n");
        // Qt's own warning, location unknown, as Qt writes its lines.
        check(QtWarningMsg, QMessageLogContext(nullptr, 0, nullptr, "qt.network.ssl"),
              {"NEROVA_CATEGORY=qt.network.ssl"}, "qt.network.ssl: m ü\n");
    }

    // The innermost receiver sees lines first and passes on what it declines; receivers end in any order. Debug
    // lines are off until enabled.
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
        qCDebug(lcTestComponent, "off");
        enableVerboseLogging();
        qCDebug(lcTestComponent, "on");
        qCCritical(lcTestComponent, "kept");
        qCInfo(lcTestComponent, "declined");
        outerReceiver.reset();
        qCCritical(lcTestComponent, "after the outer ended");
        innerReceiver.reset();
        QTest::ignoreMessage(QtCriticalMsg, "after both ended");
        qCCritical(lcTestComponent, "after both ended");
        QCOMPARE(outer, (QStringList{"on", "declined"}));
        QCOMPARE(inner, (QStringList{"on", "kept", "declined", "after the outer ended"}));
    }

    void journalReceivesTheFields()
    {
        if (::unshare(CLONE_NEWNS) != 0) {
            QSKIP("a stand-in for the journal's socket needs a private mount namespace (CAP_SYS_ADMIN)");
        }
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        QCOMPARE(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0);
        QVERIFY(QDir().mkpath(QStringLiteral("/run/systemd/journal")));
        const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address{AF_UNIX, "/run/systemd/journal/socket"};
        QCOMPARE(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        const QByteArray message = "Journal test " + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
        installLogHandler();
        qCCritical(lcTestComponent, "%s", message.constData());
        qInstallMessageHandler(testHandler);
        QByteArray datagram(64 * 1024, '\0');
        const ssize_t size = ::recv(socket, datagram.data(), datagram.size(), MSG_DONTWAIT);
        ::close(socket);
        QVERIFY2(size > 0, "nothing arrived at the journal socket");
        // "NAME=value" a line (no value holds a newline); the field forms are lineForms' matter.
        const QByteArray fields = '\n' + datagram.left(size);
        for (const QByteArray& field : {"\nMESSAGE=" + message + '\n', QByteArray("\nPRIORITY=3\n"),
                                        QByteArray("LogHandlerTest.cpp\n"), QByteArray("journalReceivesTheFields")}) {
            QVERIFY2(fields.contains(field), fields.constData());
        }
    }
};

QTEST_GUILESS_MAIN(LogHandlerTest)
#include "LogHandlerTest.moc"
