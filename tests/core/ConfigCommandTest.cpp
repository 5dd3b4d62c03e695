#include "core/ConfigCommand.h"
#include "core/CommandLine.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace nerova;

class ConfigCommandTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // No session bus: the secret's state is reported as unknown, quickly and without touching the host's keyring.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/nerova-test-bus");
    }

    void config_data()
    {
        // clang-format off
        QTest::addColumn<QByteArray>("policy");       // managed configuration; empty: none
        QTest::addColumn<QStringList>("commands");    // run in order; the last one is checked
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut"); // lines of standard output, each as a regular expression
        QTest::addColumn<QString>("expectedErr");     // part of standard error; empty: nothing

        const QByteArray managed = R"({"agentEndpoint":"https://managed.example","registrationKey":7})";
        const QByteArray none;
        QTest::newRow("list shows sources")
            << managed << QStringList{"set allowQuit true", "set fingerprintExpiry 1700000000", "list"} << 0
            << QStringList{"^# user settings: .*/NerovaAgent.conf$", "^# managed configuration: .*/managed$",
                           "^agentEndpoint +https://managed.example +managed$", "^registrationKey +- +default: not configured$",
                           "^username +- +default: the login name$", "^isRegistered +- +default: false$",
                           "^allowQuit +true +user$", "^fingerprintExpiry +1700000000 +user$",
                           "^agentSecret +unknown +credential store: no D-Bus session bus is reachable"}
            << "nerova-agent: Managed setting registrationKey is the number 7, not text: the user's setting applies\n";
        QTest::newRow("list masks the registration key") << none << QStringList{"set registrationKey k-4711", "list"} << 0
            << QStringList{"^registrationKey +present +user$", "^agentSecret "} << "";
        QTest::newRow("get managed value") << managed << QStringList{"set agentEndpoint https://user.example", "get agentEndpoint"} << 0 << QStringList{"^https://managed.example$"} << "";
        QTest::newRow("get unset value") << none << QStringList{"get projectID"} << 1 << QStringList{} << "projectID is not set (default: set at enrolment)";
        QTest::newRow("set then unset") << none << QStringList{"set projectID p-1", "unset projectID", "get projectID"} << 1 << QStringList{} << "projectID is not set";
        QTest::newRow("flag spelled 1") << none << QStringList{"set isRegistered 1", "get isRegistered"} << 0 << QStringList{"^true$"} << "";
        QTest::newRow("set says a managed value overrides") << managed << QStringList{"set agentEndpoint https://user.example"} << 0 << QStringList{}
            << "note: the managed configuration sets agentEndpoint to https://managed.example, which overrides the user setting";
        QTest::newRow("flag must be a flag") << none << QStringList{"set allowQuit maybe"} << 2 << QStringList{} << "allowQuit expects true or false";
        QTest::newRow("integer must be a number") << none << QStringList{"set fingerprintExpiry 12x"} << 2 << QStringList{} << "fingerprintExpiry expects a whole number";
        QTest::newRow("endpoint must be a URL") << none << QStringList{"set agentEndpoint presence.example"} << 2 << QStringList{} << "agentEndpoint expects an http or https URL";
        QTest::newRow("text must be UTF-8") << none << QStringList{"set username caf\xe9"} << 2 << QStringList{} << "username expects valid UTF-8 text";
        QTest::newRow("missing value") << none << QStringList{"set username"} << 2 << QStringList{} << "config set takes 2 argument(s)";
        QTest::newRow("unknown key") << none << QStringList{"get projectId"} << 2 << QStringList{} << "unknown key 'projectId'. Known keys: agentEndpoint, ";
        QTest::newRow("secret cannot be set") << none << QStringList{"set agentSecret hunter2"} << 2 << QStringList{} << "agentSecret lives in the credential store";
        QTest::newRow("secret state unknown") << none << QStringList{"get agentSecret"} << 1 << QStringList{} << "cannot tell whether an agent secret is stored: no D-Bus session bus";
        QTest::newRow("no action") << none << QStringList{""} << 2 << QStringList{} << "config needs an action";
        QTest::newRow("unknown action") << none << QStringList{"show"} << 2 << QStringList{} << "unknown config action 'show'";
        // clang-format on
    }

    void config()
    {
        QFETCH(QByteArray, policy);
        QFETCH(QStringList, commands);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);

        QTemporaryDir dir;
        const QString managedDirectory = dir.filePath(QStringLiteral("managed"));
        if (!policy.isEmpty()) {
            QDir().mkpath(managedDirectory);
            test::writeFile(dir, QStringLiteral("managed/policy.json"), policy);
        }
        Settings settings(dir.filePath(QStringLiteral("Nerova/NerovaAgent.conf")), managedDirectory, geteuid());
        AgentSecret secret(std::chrono::seconds(5));

        int code = -1;
        QString out;
        QString err;
        for (const QString& command : commands) {
            test::ConsoleCapture capture;
            Console console(capture.out(), capture.err());
            QStringList arguments = command.split(u' ', Qt::SkipEmptyParts);
            arguments.prepend(QStringLiteral("config"));
            code = QCoro::waitFor(runConfig(arguments, console, settings, secret));
            out = capture.outText();
            err = capture.errText();
        }
        QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\nout: %2\nerr: %3").arg(code).arg(out, err)));
        const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), expectedOut.size() == 1 ? 1 : lines.size());
        for (const QString& pattern : expectedOut) {
            const QRegularExpression expression(pattern);
            QVERIFY2(std::any_of(lines.begin(), lines.end(),
                                 [&](const QString& line) { return expression.match(line).hasMatch(); }),
                     qPrintable(QStringLiteral("no line matches %1 in:\n%2").arg(pattern, out)));
        }
        QVERIFY2(expectedErr.isEmpty() ? err.isEmpty() : err.contains(expectedErr), qPrintable(err));
    }

    // A settings file that cannot be used is reported, never shown as defaults nor written through.
    void unusableSettingsFile_data()
    {
        // clang-format off
        QTest::addColumn<QString>("kind"); // link: a symbolic link to a file; fifo; otherwise the file's contents
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expectedErr");
        QTest::newRow("list through a link") << "link" << "list" << 1 << "is not a regular file";
        QTest::newRow("set through a link") << "link" << "set username mallory" << 1 << "not a regular file";
        QTest::newRow("get from a FIFO") << "fifo" << "get username" << 1 << "is not a regular file";
        QTest::newRow("set into a FIFO") << "fifo" << "set username mallory" << 1 << "not a regular file";
        QTest::newRow("list of garbage") << "[General\nusername=anna\n" << "list" << 1 << "is not a settings file";
        QTest::newRow("get from garbage") << "[General\nusername=anna\n" << "get username" << 1
            << "is not a settings file";
        // clang-format on
    }

    void unusableSettingsFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, expectedErr);

        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("Nerova")));
        const QString file = dir.filePath(QStringLiteral("Nerova/NerovaAgent.conf"));
        const QByteArray target = "[General]\nusername=anna\n";
        const QString targetPath = test::writeFile(dir, QStringLiteral("target.conf"), target);
        if (kind == u"link") {
            QVERIFY(QFile::link(targetPath, file));
        } else if (kind == u"fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        } else {
            test::writeFile(dir, QStringLiteral("Nerova/NerovaAgent.conf"), kind.toUtf8());
        }
        Settings settings(file, dir.filePath(QStringLiteral("managed")), geteuid());
        AgentSecret secret(std::chrono::seconds(5));
        test::ConsoleCapture capture;
        Console console(capture.out(), capture.err());
        const int code =
            QCoro::waitFor(runConfig(QStringList{"config"} + command.split(u' '), console, settings, secret));
        const QString err = capture.errText();
        QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\nerr: %2").arg(code).arg(err)));
        QVERIFY2(err.contains(expectedErr), qPrintable(err));
        QCOMPARE(capture.outText(), QString());
        QFile written(targetPath);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), target);
        QCOMPARE(QFileInfo(file).isSymLink(), kind == u"link");
    }

    // Through the program's command line, with the default paths.
    void commandLineRunsConfig()
    {
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
        test::ConsoleCapture capture;
        Console console(capture.out(), capture.err());
        const auto run = [&](const QString& command) {
            return QCoro::waitFor(runCommandLine(QStringList{"nerova-agent", "config"} + command.split(u' '), console));
        };
        QCOMPARE(run(QStringLiteral("set username anna")), 0);
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("Nerova/NerovaAgent.conf"))));
        QCOMPARE(run(QStringLiteral("get username")), 0);
        QCOMPARE(capture.outText(), QStringLiteral("anna\n"));
    }
};

QTEST_GUILESS_MAIN(ConfigCommandTest)
#include "ConfigCommandTest.moc"
