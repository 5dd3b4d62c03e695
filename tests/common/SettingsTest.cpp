#include "common/Settings.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <iostream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerova;

namespace {

const QRegularExpression
    uuidV4(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));

// A policy directory ("managed") and a user settings file ("config/NerovaAgent.conf") in a temporary directory.
struct Stores {
    QTemporaryDir dir;
    std::unique_ptr<test::LogCapture> log = std::make_unique<test::LogCapture>();

    QString userFile() const { return dir.filePath(QStringLiteral("config/NerovaAgent.conf")); }
    QString managedDirectory() const { return dir.filePath(QStringLiteral("managed")); }
    // The files are ours, not root's, when the tests do not run as root.
    Settings settings() const { return Settings(userFile(), managedDirectory(), geteuid()); }
    QString write(const QString& name, const QByteArray& contents) const
    {
        QDir().mkpath(QFileInfo(dir.filePath(name)).absolutePath());
        const QString path = test::writeFile(dir, name, contents);
        ::chmod(QFile::encodeName(path).constData(), 0644); // whatever the umask
        return path;
    }
};

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void managedSetting_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("policies"); // "name:contents", written in this order
        QTest::addColumn<QString>("tamper");       // done to the first policy file or to the directory
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("userValue");    // empty: none
        QTest::addColumn<QString>("expected");     // "<absent>": no value
        QTest::addColumn<QString>("errorLine");    // start of the one error line (FILE, DIRECTORY, OWNER filled in)

        const QString ep = QStringLiteral("agentEndpoint");
        const QString name = QStringLiteral("username");
        const QString user = QStringLiteral("https://user.example");
        const QStringList evil{"a.json:{\"agentEndpoint\":\"https://evil.example\"}"};
        const QStringList twoFiles{"20-site.json:{\"agentEndpoint\":\"https://site.example\"}",
                                   "10-co.json:{\"agentEndpoint\":\"https://co.example\",\"username\":\"anna\"}"};
        const QString ignored = QStringLiteral("Ignoring managed configuration ");
        const auto fallsBack = [&](const char* row, const QStringList& policies, const QString& errorLine, const char* tamper = "") {
            QTest::newRow(row) << policies << QString::fromUtf8(tamper) << ep << user << user << errorLine;
        };
        QTest::newRow("managed empty text is ignored") << QStringList{"a.json:{\"username\":\"\"}"} << "" << name << "bob" << "bob" << "Managed setting username is empty";
        QTest::newRow("later file wins") << twoFiles << "" << ep << "" << "https://site.example" << "";
        QTest::newRow("earlier file's other keys stay") << twoFiles << "" << name << "" << "anna" << "";
        QTest::newRow("name order is code-point order")
            << QStringList{"a.json:{\"username\":\"lower\"}", "B.json:{\"username\":\"upper\"}"} << "" << name << "" << "lower" << "";
        QTest::newRow("a key the table does not mark managed ignores the policy")
            << QStringList{"a.json:{\"projectID\":\"p-managed\"}"} << "" << "projectID" << "p-user" << "p-user" << "";
        QTest::newRow("only .json files count") << QStringList{"a.json.bak:{\"username\":\"old\"}"} << "" << name << "bob" << "bob" << "";
        fallsBack("group-writable file is ignored", evil, ignored + "FILE: writable by others than OWNER (mode 0664)", "chmod file 0664");
        fallsBack("world-writable directory is ignored", evil, ignored + "DIRECTORY: writable by others than OWNER (mode 0757)", "chmod directory 0757");
        fallsBack("world-writable parent is ignored", evil, ignored + "DIRECTORY: its parent PARENT is writable by others than OWNER (mode 0777)", "chmod parent 0777");
        fallsBack("file of another owner is ignored", evil, ignored + "FILE: owned by uid 4242, not by OWNER", "chown file");
        fallsBack("not an object", {"a.json:[\"agentEndpoint\"]"}, ignored + "FILE: not a JSON object but an array");
        QTest::newRow("malformed file is ignored, the others apply")
            << QStringList{"a.json:{\"agentEndpoint\":", "b.json:{\"username\":\"anna\"}"} << "" << name << "" << "anna"
            << ignored + "FILE: malformed JSON: parse error at line 1, column 18";
        // clang-format on
    }

    void managedSetting()
    {
        QFETCH(QStringList, policies);
        QFETCH(QString, tamper);
        QFETCH(QString, key);
        QFETCH(QString, userValue);
        QFETCH(QString, expected);
        QFETCH(QString, errorLine);

        Stores stores;
        QStringList paths;
        for (const QString& policy : policies) {
            paths.append(stores.write(QStringLiteral("managed/") + policy.section(u':', 0, 0),
                                      policy.section(u':', 1).toUtf8()));
        }
        const QByteArray target = QFile::encodeName(tamper.contains(u"directory") ? stores.managedDirectory()
                                                    : tamper.contains(u"parent")  ? stores.dir.path()
                                                                                  : paths.value(0));
        if (tamper == u"chown file" && ::chown(target.constData(), 4242, gid_t(-1)) != 0) {
            QSKIP("giving a file to another owner needs root");
        } else if (tamper.startsWith(u"chmod")) {
            QCOMPARE(::chmod(target.constData(), tamper.section(u' ', 2).toUInt(nullptr, 8)), 0);
        }
        Settings settings = stores.settings();
        if (!userValue.isEmpty()) {
            settings.setText(key, userValue);
        }

        QCOMPARE(settings.managedSetting(key).value_or(QStringLiteral("<absent>")), expected);
        errorLine.replace(QStringLiteral("FILE"), paths.value(0))
            .replace(QStringLiteral("DIRECTORY"), stores.managedDirectory())
            .replace(QStringLiteral("PARENT"), stores.dir.path())
            .replace(QStringLiteral("OWNER"), geteuid() == 0 ? QStringLiteral("root") : qEnvironmentVariable("USER"));
        const QStringList lines = stores.log->errors();
        QCOMPARE(lines.size(), errorLine.isEmpty() ? 0 : 1);
        QVERIFY2(lines.isEmpty() || lines[0].startsWith(errorLine), qPrintable(lines.join(u'\n')));
    }

    // Values as another process (or an administrator's editor) leaves them in the file: all text.
    void plainReads_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text"); // "<absent>" for none
        QTest::addColumn<bool>("flag");
        QTest::addColumn<qint64>("integer");
        // clang-format off
        QTest::newRow("missing") << "fingerprintExpiry" << "<absent>" << false << 0LL;
        QTest::newRow("flag in capitals") << "isRegistered" << "TRUE" << true << 0LL;
        QTest::newRow("flag 1") << "flagOne" << "1" << true << 1LL;
        QTest::newRow("other text is not a flag") << "flagYes" << "yes" << false << 0LL;
        QTest::newRow("64-bit number") << "fingerprintExpiry2" << "9007199254740993" << false << 9007199254740993LL;
        QTest::newRow("list is not text") << "agentEndpoint" << "<absent>" << false << 0LL;
        // clang-format on
    }

    void plainReads()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(bool, flag);
        QFETCH(qint64, integer);
        Stores stores;
        stores.write(QStringLiteral("config/NerovaAgent.conf"),
                     "[General]\nisRegistered=TRUE\nflagOne=1\nflagYes=yes\n"
                     "fingerprintExpiry2=9007199254740993\nagentEndpoint=a, b\n");
        const Settings settings = stores.settings();
        QCOMPARE(settings.text(key).value_or(QStringLiteral("<absent>")), text);
        QCOMPARE(settings.flag(key), flag);
        QCOMPARE(settings.integer(key), integer);
    }

    // This process may still see typed values; the file holds text that other processes read alike.
    void writesReadBackInThisProcessAndOthers()
    {
        Stores stores;
        Settings settings = stores.settings();
        settings.setFlag(QStringLiteral("isRegistered"), true);
        settings.setInteger(QStringLiteral("fingerprintExpiry"), 1'700'000'000'123LL);
        settings.setText(QStringLiteral("projectID"), QStringLiteral("p, 1 ü"));
        for (const Settings& reader : {settings, stores.settings()}) {
            QCOMPARE(reader.text(QStringLiteral("isRegistered")), QStringLiteral("true"));
            QCOMPARE(reader.integer(QStringLiteral("fingerprintExpiry")), 1'700'000'000'123LL);
            QCOMPARE(reader.text(QStringLiteral("projectID")), QStringLiteral("p, 1 ü"));
        }
        QFile file(stores.userFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        QVERIFY2(contents.contains("isRegistered=true\n") && contents.contains("fingerprintExpiry=1700000000123\n"),
                 contents.constData());
        QCOMPARE(stores.log->errors(), QStringList());
    }

    void failedWriteIsReported()
    {
        Stores stores;
        stores.write(QStringLiteral("config"), "x"); // where the settings file's directory belongs
        Settings settings = stores.settings();
        QVERIFY(!settings.write(QStringLiteral("allowQuit"), true));
        QCOMPARE(stores.log->errors(),
                 (QStringList{QStringLiteral("Cannot lock %1.agent-lock: Not a directory").arg(stores.userFile()),
                              QStringLiteral("Cannot write the setting allowQuit to %1").arg(stores.userFile())}));
    }

    // While another process holds the lock, reads do not wait: they get what was last read under
    // it; writes and a batch wait briefly and fail, and the file counts as unusable. Said once.
    void lockHeldByAnotherProcess()
    {
        Stores stores;
        stores.write(QStringLiteral("config/NerovaAgent.conf"), "[General]\nusername=anna\nprojectID=p\n");
        Settings settings = stores.settings();
        QCOMPARE(settings.text(QStringLiteral("username")), QStringLiteral("anna"));
        QVERIFY(settings.write(QStringLiteral("instanceID"), QStringLiteral("i")));
        const int holder = ::open(QFile::encodeName(stores.userFile() + QStringLiteral(".agent-lock")).constData(),
                                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX) == 0);
        QElapsedTimer elapsed;
        elapsed.start();
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(settings.text(QStringLiteral("username")), QStringLiteral("anna"));
        }
        QCOMPARE(settings.text(QStringLiteral("instanceID")), QStringLiteral("i")); // as this process wrote it
        QCOMPARE(settings.text(QStringLiteral("projectID")), std::nullopt);         // never read under the lock
        QVERIFY(!settings.write(QStringLiteral("username"), QStringLiteral("bob")));
        QVERIFY(settings.fileProblem().value_or(QString()).endsWith(QLatin1String("another process holds the lock")));
        {
            const Settings::Batch batch(settings, true);
            QVERIFY(!settings.write(QStringLiteral("username"), QStringLiteral("bob")));
        }
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
        ::close(holder);
        QCOMPARE(settings.fileProblem(), std::nullopt);
        QVERIFY(settings.write(QStringLiteral("username"), QStringLiteral("bob")));
        QCOMPARE(settings.text(QStringLiteral("username")), QStringLiteral("bob"));
        const QStringList errors = stores.log->errors();
        QVERIFY2(errors.size() == 3 && errors[0].startsWith(QLatin1String("Cannot lock ")) &&
                     errors[1] == QLatin1String("Cannot write the setting username: another process holds the lock"),
                 qPrintable(errors.join(u'\n')));
    }

    // A stored identifier is returned unchanged, an empty or removed one replaced.
    void agentIdentifierIsGeneratedOnceAndKept()
    {
        Stores stores;
        Settings settings = stores.settings();
        settings.setText(QStringLiteral("agentID"), QStringLiteral("Custom-ID"));
        QCOMPARE(settings.agentIdentifier(), QStringLiteral("Custom-ID"));
        settings.setText(QStringLiteral("agentID"), QString());
        const QString afterEmpty = settings.agentIdentifier();
        settings.remove(QStringLiteral("agentID"));
        const QString renewed = settings.agentIdentifier();
        QVERIFY(uuidV4.match(afterEmpty).hasMatch() && uuidV4.match(renewed).hasMatch() && renewed != afterEmpty);
    }

    // Several processes race for the first identifier of each of many fresh settings files.
    void agentIdentifierIsOneAcrossProcesses()
    {
        QTemporaryDir dir;
        constexpr int rounds = 100;
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < 4; ++i) {
            QProcess& process = *processes.emplace_back(std::make_unique<QProcess>());
            process.start(QCoreApplication::applicationFilePath(),
                          {"--identifiers", dir.path(), QString::number(rounds)});
            QVERIFY2(process.waitForReadyRead(30'000), qPrintable(process.errorString()));
            QCOMPARE(process.readLine(), QByteArray("ready\n"));
        }
        for (auto& process : processes) { // all are waiting: release them together
            process->write("go\n");
            QVERIFY(process->waitForBytesWritten(30'000));
        }
        QStringList first; // the first process's identifiers, one per round
        for (auto& process : processes) {
            QVERIFY(process->waitForFinished(60'000));
            const QStringList identifiers =
                QString::fromUtf8(process->readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
            first = first.isEmpty() ? identifiers : first;
            QCOMPARE(identifiers, first);
        }
        QCOMPARE(first.size(), rounds);
        for (int round = 0; round < rounds; ++round) {
            QVERIFY2(uuidV4.match(first[round]).hasMatch(), qPrintable(first[round]));
            const Settings stored(QStringLiteral("%1/%2/NerovaAgent.conf").arg(dir.path()).arg(round), dir.path());
            QCOMPARE(stored.text(QStringLiteral("agentID")), first[round]);
        }
    }
};

// "--identifiers DIRECTORY ROUNDS": a racer of the test above; says "ready", waits for a line, prints the identifiers.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--identifiers") == 0) {
        std::cout << "ready" << std::endl;
        std::string line;
        std::getline(std::cin, line);
        for (int round = 0; round < std::atoi(argv[3]); ++round) {
            Settings settings(QStringLiteral("%1/%2/NerovaAgent.conf").arg(QString::fromLocal8Bit(argv[2])).arg(round),
                              QStringLiteral("/nonexistent"));
            std::cout << settings.agentIdentifier().toStdString() << '\n';
        }
        return 0;
    }
    SettingsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SettingsTest.moc"
