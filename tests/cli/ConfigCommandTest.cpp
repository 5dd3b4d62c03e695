#include "cli/ConfigCommand.h"

#include "CommandRun.h"

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
        QTest::addColumn<QString>("file");            // the settings file: empty: none; link: a link to a file; fifo; else its contents
        QTest::addColumn<QStringList>("commands");    // run in order; the last one is checked
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut"); // lines of standard output, each as a regular expression
        QTest::addColumn<QString>("expectedErr");     // part of standard error; empty: nothing

        const QByteArray managed = R"({"agentEndpoint":"https://managed.example","registrationKey":7})";
        const QByteArray none;
        QTest::newRow("list shows sources") << managed << "" << QStringList{"set allowQuit true", "set fingerprintExpiry 1700000000", "list"} << 0
            << QStringList{"^# user settings: .*/NerovaAgent.conf$", "^# managed configuration: .*/managed$",
                           "^agentEndpoint +https://managed.example +managed$", "^registrationKey +- +default: not configured$",
                           "^username +- +default: the login name$", "^isRegistered +- +default: false$",
                           "^allowQuit +true +user$", "^fingerprintExpiry +1700000000 +user$",
                           "^agentSecret +unknown +credential store: no D-Bus session bus is reachable"}
            << "nerova-agent: Managed setting registrationKey is the number 7, not text: the user's setting applies\n";
        QTest::newRow("list masks the registration key") << none << "" << QStringList{"set registrationKey k-4711", "list"} << 0 << QStringList{"^registrationKey +present +user$", "^agentSecret "} << "";
        QTest::newRow("get managed value") << managed << "" << QStringList{"set agentEndpoint https://user.example", "get agentEndpoint"} << 0 << QStringList{"^https://managed.example$"} << "";
        QTest::newRow("set then unset") << none << "" << QStringList{"set projectID p-1", "unset projectID", "get projectID"} << 1 << QStringList{} << "projectID is not set (default: set at enrolment)";
        QTest::newRow("flag spelled 1") << none << "" << QStringList{"set isRegistered 1", "get isRegistered"} << 0 << QStringList{"^true$"} << "";
        QTest::newRow("set says a managed value overrides") << managed << "" << QStringList{"set agentEndpoint https://user.example"} << 0 << QStringList{} << "note: the managed configuration sets agentEndpoint to https://managed.example, which overrides the user setting";
        QTest::newRow("flag must be a flag") << none << "" << QStringList{"set allowQuit maybe"} << 2 << QStringList{} << "allowQuit expects true or false";
        QTest::newRow("integer must be a number") << none << "" << QStringList{"set fingerprintExpiry 12x"} << 2 << QStringList{} << "fingerprintExpiry expects a whole number";
        QTest::newRow("endpoint must be a URL") << none << "" << QStringList{"set agentEndpoint presence.example"} << 2 << QStringList{} << "agentEndpoint expects an http or https URL";
        QTest::newRow("plain http endpoint only on loopback") << none << "" << QStringList{"set agentEndpoint http://presence.example"} << 2 << QStringList{} << "agentEndpoint expects an https URL; plain http only for a loopback host";
        QTest::newRow("get notes an unusable value") << none << "[General]\nagentEndpoint=http://presence.example\n" << QStringList{"get agentEndpoint"} << 0 << QStringList{"^http://presence.example$"} << "note: the user value of agentEndpoint is not usable: expects an https URL";
        QTest::newRow("list flags an unusable managed value") << QByteArray("{\"agentEndpoint\":\"ftp://x\"}") << "[General]\nallowQuit=maybe\n" << QStringList{"list"} << 0
            << QStringList{"^agentEndpoint +ftp://x +managed  \\(not usable: expects an http or https URL\\)$", "^allowQuit +maybe +user  \\(not usable: expects true or false\\)$"} << "";
        QTest::newRow("empty managed key leaves the user's") << QByteArray(R"({"registrationKey":""})") << "" << QStringList{"set registrationKey k-4711", "list"} << 0 << QStringList{"^registrationKey +present +user$", "^agentSecret "} << "";
        // The company's reporting rules come from the policy alone: a user value is refused and ignored.
        QTest::newRow("managed-only key cannot be set") << none << "" << QStringList{"set allowPause true"} << 2 << QStringList{} << "allowPause is set by the administrator only, in a policy file in ";
        QTest::newRow("managed-only keys listed, user value ignored") << QByteArray(R"({"allowPause":true,"reportingHours":"Mon-Fri 07:00-19:00"})") << "[General]\nreportPrecision=location\n" << QStringList{"list"} << 0
            << QStringList{"^allowPause +true +managed$", "^reportingHours +Mon-Fri 07:00-19:00 +managed$",
                           "^reportPrecision +- +default: place  \\(the user value is ignored\\)$", "^privacyNoticeUrl +- +default: none$"} << "";
        QTest::newRow("list flags unusable reporting rules") << QByteArray(R"({"reportingHours":"weekdays","reportPrecision":"desk"})") << "" << QStringList{"list"} << 0
            << QStringList{"^reportingHours +weekdays +managed  \\(not usable: \"weekdays\" is not of the form DAYS HH:MM-HH:MM\\)$",
                           "^reportPrecision +desk +managed  \\(not usable: expects location, level, zone or place\\)$"} << "";
        QTest::newRow("text must be UTF-8") << none << "" << QStringList{"set username caf\xe9"} << 2 << QStringList{} << "username expects valid UTF-8 text";
        QTest::newRow("missing value") << none << "" << QStringList{"set username"} << 2 << QStringList{} << "config set takes 2 argument(s)";
        QTest::newRow("unknown key") << none << "" << QStringList{"get projectId"} << 2 << QStringList{} << "unknown key 'projectId'. Known keys: agentEndpoint, ";
        QTest::newRow("secret cannot be set") << none << "" << QStringList{"set agentSecret hunter2"} << 2 << QStringList{} << "agentSecret lives in the credential store";
        QTest::newRow("secret state unknown") << none << "" << QStringList{"get agentSecret"} << 1 << QStringList{} << "cannot tell whether an agent secret is stored: no D-Bus session bus";
        QTest::newRow("no action") << none << "" << QStringList{""} << 2 << QStringList{} << "config needs an action";
        QTest::newRow("unknown action") << none << "" << QStringList{"show"} << 2 << QStringList{} << "unknown config action 'show'";
        // A settings file that cannot be used is reported, never shown as defaults nor written through:
        // one row for each kind of file and each reading or writing action.
        const QString garbage = QStringLiteral("[General\nusername=anna\n");
        QTest::newRow("list through a link") << none << "link" << QStringList{"list"} << 1 << QStringList{} << "is not a regular file";
        QTest::newRow("get from a FIFO") << none << "fifo" << QStringList{"get username"} << 1 << QStringList{} << "is not a regular file";
        QTest::newRow("set into garbage leaves it") << none << garbage << QStringList{"set username mallory"} << 1 << QStringList{} << "is not a settings file";
        QTest::newRow("value continued on the next line") << none << "[General]\nusername=an\\\nna\n" << QStringList{"get username"} << 0 << QStringList{"^anna$"} << "";
        // clang-format on
    }

    void config()
    {
        QFETCH(QByteArray, policy);
        QFETCH(QString, file);
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
        QDir().mkpath(dir.filePath(QStringLiteral("Nerova")));
        const QString path = dir.filePath(QStringLiteral("Nerova/NerovaAgent.conf"));
        const QByteArray target = "[General]\nusername=anna\n";
        const QString targetPath = test::writeFile(dir, QStringLiteral("target.conf"), target);
        if (file == u"link") {
            QVERIFY(QFile::link(targetPath, path));
        } else if (file == u"fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (!file.isEmpty()) {
            test::writeFile(dir, QStringLiteral("Nerova/NerovaAgent.conf"), file.toUtf8());
        }
        Settings settings(path, managedDirectory, geteuid());
        AgentSecret secret(std::chrono::seconds(5));

        int code = -1;
        QString out, err;
        for (const QString& command : commands) {
            test::ConsoleCapture capture;
            Console console(capture.out(), capture.err());
            code = await(
                runConfig(QStringList{"config"} + command.split(u' ', Qt::SkipEmptyParts), console, settings, secret));
            out = capture.outText();
            err = capture.errText();
        }
        QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\nout: %2\nerr: %3").arg(code).arg(out, err)));
        const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
        if (expectedOut.size() <= 1) { // several patterns: lines that must be among others
            QCOMPARE(lines.size(), expectedOut.size());
        }
        for (const QString& pattern : expectedOut) {
            const QRegularExpression expression(pattern);
            QVERIFY2(std::any_of(lines.begin(), lines.end(),
                                 [&](const QString& line) { return expression.match(line).hasMatch(); }),
                     qPrintable(QStringLiteral("no line matches %1 in:\n%2").arg(pattern, out)));
        }
        QVERIFY2(expectedErr.isEmpty() ? err.isEmpty() : err.contains(expectedErr), qPrintable(err));
        const auto contents = [](const QString& name) {
            QFile read(name);
            return read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray("<unreadable>");
        };
        QCOMPARE(contents(targetPath), target); // what a link pointed to is left as it was
        QCOMPARE(QFileInfo(path).isSymLink(), file == u"link");
        if (code != 0 && file != u"link" && file != u"fifo" && !file.isEmpty()) {
            QCOMPARE(contents(path), file.toUtf8()); // a damaged file is never written over
        }
    }
};

QTEST_GUILESS_MAIN(ConfigCommandTest)
#include "ConfigCommandTest.moc"
