#include "common/Settings.h"
#include "common/CaptureLogSink.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace nerova;

namespace {

const QRegularExpression
    uuidV4(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));

// A policy directory and a user settings file in a temporary directory.
struct Stores {
    QTemporaryDir dir;
    std::shared_ptr<CaptureLogSink> log = std::make_shared<CaptureLogSink>();

    QString userFile() const { return dir.filePath(QStringLiteral("config/Nerova/NerovaAgent.conf")); }
    QString managedDirectory() const { return dir.filePath(QStringLiteral("managed")); }
    Settings settings() const
    {
        // The files are ours, not root's, when the tests do not run as root.
        return Settings(userFile(), managedDirectory(), Logger(QStringLiteral("test"), QStringLiteral("Settings"), log),
                        geteuid());
    }
    QString writePolicy(const QString& name, const QByteArray& contents) const
    {
        QDir().mkpath(managedDirectory());
        const QString path = managedDirectory() + u'/' + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()) {
            qFatal("cannot write %s", qPrintable(path));
        }
        ::chmod(QFile::encodeName(path).constData(), 0644);
        return path;
    }
    void writeUserFile(const QByteArray& contents) const
    {
        QDir().mkpath(QFileInfo(userFile()).absolutePath());
        QFile file(userFile());
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()) {
            qFatal("cannot write %s", qPrintable(userFile()));
        }
    }
};

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void managedSetting_data()
    {
        // Policy files are "name:contents" (in the order written, not the order read).
        QTest::addColumn<QStringList>("policies");
        QTest::addColumn<QString>("tamper"); // what to do to the first policy file or the directory
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("userValue"); // written to the user's file as text; empty: none
        QTest::addColumn<QString>("expected");  // "<absent>" for no value
        QTest::addColumn<QString>("errorLine"); // an error line (with FILE for the first policy's path); empty: none

        const QString endpoint = QStringLiteral("agentEndpoint");
        QTest::newRow("managed text wins") << QStringList{"a.json:{\"agentEndpoint\":\"https://managed.example\"}"}
                                           << "" << endpoint << "https://user.example"
                                           << "https://managed.example"
                                           << "";
        QTest::newRow("managed number falls back to the user's text")
            << QStringList{"a.json:{\"agentEndpoint\":5}"} << "" << endpoint << "https://user.example"
            << "https://user.example"
            << "error Managed setting agentEndpoint is the number 5, not text: the user's setting applies";
        QTest::newRow("managed null falls back")
            << QStringList{"a.json:{\"agentEndpoint\":null}"} << "" << endpoint << "https://user.example"
            << "https://user.example"
            << "error Managed setting agentEndpoint is null, not text: the user's setting applies";
        QTest::newRow("empty managed set falls back")
            << QStringList{"a.json:{}"} << "" << endpoint << "https://user.example"
            << "https://user.example"
            << "";
        QTest::newRow("other managed keys fall back")
            << QStringList{"a.json:{\"username\":\"anna\"}"} << "" << endpoint << "https://user.example"
            << "https://user.example"
            << "";
        QTest::newRow("no policy directory") << QStringList{} << "" << endpoint << "https://user.example"
                                             << "https://user.example"
                                             << "";
        QTest::newRow("a stored number counts as its text") << QStringList{} << ""
                                                            << "registrationKey"
                                                            << "42"
                                                            << "42"
                                                            << "";
        QTest::newRow("nothing anywhere") << QStringList{"a.json:{}"} << "" << endpoint << ""
                                          << "<absent>"
                                          << "";
        QTest::newRow("managed empty text still wins") << QStringList{"a.json:{\"username\":\"\"}"} << ""
                                                       << "username"
                                                       << "bob"
                                                       << ""
                                                       << "";
        QTest::newRow("later file wins")
            << QStringList{"20-site.json:{\"agentEndpoint\":\"https://site.example\"}",
                           "10-company.json:{\"agentEndpoint\":\"https://company.example\",\"username\":\"anna\"}"}
            << "" << endpoint << ""
            << "https://site.example"
            << "";
        QTest::newRow("earlier file's other keys stay")
            << QStringList{"20-site.json:{\"agentEndpoint\":\"https://site.example\"}",
                           "10-company.json:{\"agentEndpoint\":\"https://company.example\",\"username\":\"anna\"}"}
            << ""
            << "username"
            << ""
            << "anna"
            << "";
        QTest::newRow("name order is code-point order")
            << QStringList{"a.json:{\"username\":\"lower\"}", "B.json:{\"username\":\"upper\"}"} << ""
            << "username"
            << ""
            << "lower"
            << "";
        QTest::newRow("only json files count")
            << QStringList{"a.json.bak:{\"username\":\"old\"}", "notes.txt:{\"username\":\"x\"}"} << ""
            << "username"
            << "bob"
            << "bob"
            << "";
        QTest::newRow("world-writable file is ignored")
            << QStringList{"a.json:{\"agentEndpoint\":\"https://evil.example\"}"} << "chmod file 0666" << endpoint
            << "https://user.example"
            << "https://user.example"
            << "error Ignoring managed configuration FILE: writable by others than OWNER (mode 0666)";
        QTest::newRow("group-writable file is ignored")
            << QStringList{"a.json:{\"agentEndpoint\":\"https://evil.example\"}"} << "chmod file 0664" << endpoint
            << "https://user.example"
            << "https://user.example"
            << "error Ignoring managed configuration FILE: writable by others than OWNER (mode 0664)";
        QTest::newRow("only the writable file is ignored")
            << QStringList{"b.json:{\"agentEndpoint\":\"https://evil.example\"}",
                           "a.json:{\"agentEndpoint\":\"https://ok.example\"}"}
            << "chmod file 0666" << endpoint << ""
            << "https://ok.example"
            << "error Ignoring managed configuration FILE: writable by others than OWNER (mode 0666)";
        QTest::newRow("world-writable directory is ignored")
            << QStringList{"a.json:{\"agentEndpoint\":\"https://evil.example\"}"} << "chmod directory 0777" << endpoint
            << "https://user.example"
            << "https://user.example"
            << "error Ignoring managed configuration DIRECTORY: writable by others than OWNER (mode 0777)";
        QTest::newRow("file of another owner is ignored")
            << QStringList{"a.json:{\"agentEndpoint\":\"https://evil.example\"}"} << "chown file" << endpoint
            << "https://user.example"
            << "https://user.example"
            << "error Ignoring managed configuration FILE: owned by uid 4242, not by OWNER";
        QTest::newRow("array is not an object")
            << QStringList{"a.json:[\"agentEndpoint\",\"https://x.example\"]"} << "" << endpoint
            << "https://user.example"
            << "https://user.example"
            << "error Ignoring managed configuration FILE: not a JSON object but an array";
        QTest::newRow("text is not an object")
            << QStringList{"a.json:\"https://x.example\""} << "" << endpoint << ""
            << "<absent>"
            << "error Ignoring managed configuration FILE: not a JSON object but the string \"https://x.example\"";
        QTest::newRow("malformed file is ignored, the others apply")
            << QStringList{"a.json:{\"agentEndpoint\":", "b.json:{\"username\":\"anna\"}"} << ""
            << "username"
            << ""
            << "anna"
            << "error Ignoring managed configuration FILE: malformed JSON: parse error at line 1, column 18";
        QTest::newRow("empty file is malformed") << QStringList{"a.json:"} << "" << endpoint << ""
                                                 << "<absent>"
                                                 << "error Ignoring managed configuration FILE: malformed JSON";
        QTest::newRow("directory in place of a file") << QStringList{"b.json:{\"username\":\"anna\"}"} << "mkdir a.json"
                                                      << "username"
                                                      << ""
                                                      << "anna"
                                                      << "";
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
        QString firstPolicy;
        for (const QString& policy : policies) {
            const QString path = stores.writePolicy(policy.section(u':', 0, 0), policy.section(u':', 1).toUtf8());
            if (firstPolicy.isEmpty()) {
                firstPolicy = path;
            }
        }
        const QByteArray firstNative = QFile::encodeName(firstPolicy);
        const QByteArray directoryNative = QFile::encodeName(stores.managedDirectory());
        if (tamper.startsWith(u"chmod file")) {
            QCOMPARE(::chmod(firstNative.constData(), tamper.section(u' ', 2).toUInt(nullptr, 8)), 0);
        } else if (tamper.startsWith(u"chmod directory")) {
            QCOMPARE(::chmod(directoryNative.constData(), tamper.section(u' ', 2).toUInt(nullptr, 8)), 0);
        } else if (tamper == u"chown file") {
            if (::chown(firstNative.constData(), 4242, gid_t(-1)) != 0) {
                QSKIP("giving a file to another owner needs root");
            }
        } else if (tamper == u"mkdir a.json") {
            QVERIFY(QDir(stores.managedDirectory()).mkdir(QStringLiteral("a.json")));
        }
        Settings settings = stores.settings();
        if (!userValue.isEmpty()) {
            settings.setText(key, userValue);
        }
        stores.log->clear();

        const auto value = settings.managedSetting(key);
        QCOMPARE(value.value_or(QStringLiteral("<absent>")), expected);

        const QString owner = geteuid() == 0 ? QStringLiteral("root") : qEnvironmentVariable("USER");
        errorLine.replace(QStringLiteral("FILE"), firstPolicy)
            .replace(QStringLiteral("DIRECTORY"), stores.managedDirectory())
            .replace(QStringLiteral("OWNER"), owner);
        const QStringList lines = stores.log->messages();
        if (errorLine.isEmpty()) {
            QCOMPARE(lines, QStringList());
        } else {
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines[0].startsWith(errorLine), qPrintable(lines[0]));
        }
    }

    void managedValuesAreNotCached()
    {
        Stores stores;
        const Settings settings = stores.settings();
        QCOMPARE(settings.managedSetting(QStringLiteral("username")), std::nullopt);
        const QString path = stores.writePolicy(QStringLiteral("a.json"), R"({"username":"anna"})");
        QCOMPARE(settings.managedSetting(QStringLiteral("username")), QStringLiteral("anna"));
        QVERIFY(QFile::remove(path));
        QCOMPARE(settings.managedSetting(QStringLiteral("username")), std::nullopt);
    }

    // Values as another process (or an administrator's editor) leaves them in the file.
    void plainReads_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text"); // "<absent>" for none
        QTest::addColumn<bool>("flag");
        QTest::addColumn<qint64>("integer");

        QTest::newRow("missing") << "fingerprintExpiry"
                                 << "<absent>" << false << 0LL;
        QTest::newRow("flag true") << "allowQuit"
                                   << "true" << true << 0LL;
        QTest::newRow("flag in capitals") << "isRegistered"
                                          << "TRUE" << true << 0LL;
        QTest::newRow("flag 1") << "flagOne"
                                << "1" << true << 1LL;
        QTest::newRow("flag false") << "flagFalse"
                                    << "false" << false << 0LL;
        QTest::newRow("other text is not a flag") << "flagYes"
                                                  << "yes" << false << 0LL;
        QTest::newRow("64-bit number") << "fingerprintExpiry2"
                                       << "9007199254740993" << false << 9007199254740993LL;
        QTest::newRow("negative number") << "negative"
                                         << "-5" << false << -5LL;
        QTest::newRow("not a number") << "fingerprintETag"
                                      << "\"W/abc\"" << false << 0LL;
        QTest::newRow("text with comma stays text") << "username"
                                                    << "Doe, John" << false << 0LL;
        QTest::newRow("list is not text") << "agentEndpoint"
                                          << "<absent>" << false << 0LL;
        QTest::newRow("non-ASCII text") << "instanceID"
                                        << "Zürich-Büro" << false << 0LL;
    }

    void plainReads()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(bool, flag);
        QFETCH(qint64, integer);

        Stores stores;
        stores.writeUserFile("[General]\n"
                             "allowQuit=true\nisRegistered=TRUE\nflagOne=1\nflagFalse=false\nflagYes=yes\n"
                             "fingerprintExpiry2=9007199254740993\nnegative=-5\nfingerprintETag=\"\\\"W/abc\\\"\"\n"
                             "username=\"Doe, John\"\nagentEndpoint=a, b\ninstanceID=Z\\xfcrich-B\\xfcro\n");
        const Settings settings = stores.settings();
        QCOMPARE(settings.text(key).value_or(QStringLiteral("<absent>")), text);
        QCOMPARE(settings.flag(key), flag);
        QCOMPARE(settings.integer(key), integer);
        QCOMPARE(settings.contains(key), key != u"fingerprintExpiry");
    }

    void writesReadBackInThisProcessAndOthers()
    {
        Stores stores;
        Settings settings = stores.settings();
        settings.setFlag(QStringLiteral("isRegistered"), true);
        settings.setInteger(QStringLiteral("fingerprintExpiry"), 1'700'000'000'123LL);
        settings.setText(QStringLiteral("projectID"), QStringLiteral("p, 1 ü"));
        settings.setText(QStringLiteral("instanceID"), QStringLiteral("gone"));
        settings.remove(QStringLiteral("instanceID"));

        // This process may still see typed values; the file itself holds only text.
        for (const Settings& reader : {settings, stores.settings()}) {
            QCOMPARE(reader.flag(QStringLiteral("isRegistered")), true);
            QCOMPARE(reader.text(QStringLiteral("isRegistered")), QStringLiteral("true"));
            QCOMPARE(reader.integer(QStringLiteral("fingerprintExpiry")), 1'700'000'000'123LL);
            QCOMPARE(reader.managedSetting(QStringLiteral("fingerprintExpiry")), QStringLiteral("1700000000123"));
            QCOMPARE(reader.text(QStringLiteral("projectID")), QStringLiteral("p, 1 ü"));
            QCOMPARE(reader.contains(QStringLiteral("instanceID")), false);
        }
        QFile file(stores.userFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray contents = file.readAll();
        QVERIFY2(contents.contains("isRegistered=true\n") && contents.contains("fingerprintExpiry=1700000000123\n"),
                 contents.constData());
        QCOMPARE(stores.log->messages(), QStringList());
    }

    void failedWriteIsReported()
    {
        QTemporaryDir dir;
        const QString blocker = test::writeFile(dir, QStringLiteral("not-a-directory"), "x");
        auto log = std::make_shared<CaptureLogSink>();
        Settings settings(blocker + QStringLiteral("/NerovaAgent.conf"), dir.filePath(QStringLiteral("managed")),
                          Logger(QStringLiteral("test"), QStringLiteral("Settings"), log), geteuid());
        QVERIFY(!settings.write(QStringLiteral("allowQuit"), true));
        QCOMPARE(log->messages(),
                 (QStringList{
                     QStringLiteral("error Cannot lock %1/NerovaAgent.conf.agent-lock: Not a directory").arg(blocker),
                     QStringLiteral("error Cannot write the setting allowQuit to %1/NerovaAgent.conf").arg(blocker)}));
        QCOMPARE(settings.flag(QStringLiteral("allowQuit")), false);
    }

    void agentIdentifierIsGeneratedOnceAndKept()
    {
        Stores stores;
        Settings settings = stores.settings();
        const QString first = settings.agentIdentifier();
        QVERIFY2(uuidV4.match(first).hasMatch(), qPrintable(first));
        QCOMPARE(first.size(), 36);
        QCOMPARE(settings.agentIdentifier(), first);
        QCOMPARE(stores.settings().agentIdentifier(), first);
        QCOMPARE(settings.text(QStringLiteral("agentID")), first);

        // A stored identifier is returned unchanged; deleting it makes the next call create a new one.
        settings.setText(QStringLiteral("agentID"), QStringLiteral("Custom-ID"));
        QCOMPARE(settings.agentIdentifier(), QStringLiteral("Custom-ID"));
        settings.setText(QStringLiteral("agentID"), QString());
        const QString afterEmpty = settings.agentIdentifier();
        QVERIFY(uuidV4.match(afterEmpty).hasMatch());
        settings.remove(QStringLiteral("agentID"));
        const QString renewed = settings.agentIdentifier();
        QVERIFY(uuidV4.match(renewed).hasMatch());
        QVERIFY(renewed != first && renewed != afterEmpty);
    }

    void agentIdentifierIsOneAcrossThreads()
    {
        Stores stores;
        constexpr int callers = 8;
        std::array<QString, callers> identifiers;
        {
            std::vector<std::jthread> threads;
            for (int i = 0; i < callers; ++i) {
                threads.emplace_back(
                    [&stores, &identifiers, i] { identifiers[i] = stores.settings().agentIdentifier(); });
            }
        }
        for (const QString& identifier : identifiers) {
            QCOMPARE(identifier, identifiers[0]);
        }
        QCOMPARE(stores.settings().text(QStringLiteral("agentID")), identifiers[0]);
    }

    void agentIdentifierIsOneAcrossProcesses()
    {
        // Several processes race for the first identifier of each of many fresh settings files.
        QTemporaryDir dir;
        constexpr int callers = 4;
        constexpr int rounds = 100;
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < callers; ++i) {
            auto process = std::make_unique<QProcess>();
            process->start(QStringLiteral(NEROVA_AGENT_ID_HELPER), {dir.path(), QString::number(rounds)});
            QVERIFY2(process->waitForStarted(), qPrintable(process->errorString()));
            processes.push_back(std::move(process));
        }
        for (auto& process : processes) {
            QVERIFY(process->waitForReadyRead(30'000));
            QCOMPARE(process->readLine(), QByteArray("ready\n"));
        }
        for (auto& process : processes) { // all are waiting: release them together
            process->write("go\n");
        }
        for (auto& process : processes) {
            QVERIFY(process->waitForBytesWritten(30'000));
        }
        std::vector<QStringList> identifiers;
        for (auto& process : processes) {
            QVERIFY(process->waitForFinished(60'000));
            QCOMPARE(process->exitCode(), 0);
            identifiers.push_back(QString::fromUtf8(process->readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts));
        }
        QCOMPARE(identifiers[0].size(), rounds);
        for (int round = 0; round < rounds; ++round) {
            const QString& first = identifiers[0][round];
            QVERIFY2(uuidV4.match(first).hasMatch(), qPrintable(first));
            for (const QStringList& other : identifiers) {
                QCOMPARE(other.value(round), first);
            }
            const Settings stored(QStringLiteral("%1/%2/NerovaAgent.conf").arg(dir.path()).arg(round), dir.path(),
                                  Logger(QStringLiteral("test"), QStringLiteral("Settings")));
            QCOMPARE(stored.text(QStringLiteral("agentID")), first);
        }
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "SettingsTest.moc"
