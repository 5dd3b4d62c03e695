// The activity record: every request of the service connection entered with its outcome against
// the reference presence service, and nothing secret; its bounds; a damaged or unwritable file.
#include "agent/ActivityRecord.h"
#include "agent/NerovaServiceConnection.h"
#include "common/Await.h"
#include "support/FingerprintFiles.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceService.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <sys/stat.h>

using namespace nerova;
using namespace nerova::presence;
using namespace std::chrono_literals;

namespace {

const QString registrationKey = QStringLiteral("activity-key");
const QString downloadToken = QStringLiteral("token=download-signature-0123");
const QDateTime start(QDate(2026, 12, 7), QTime(9, 15, 2, 500), Qt::UTC);

QStringList kindsAndOutcomes(const QList<ActivityEntry>& newestFirst)
{
    QStringList texts;
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it) {
        texts << activityRequestText(it->request) + u' ' + activityOutcomeText(it->outcome);
    }
    return texts;
}

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 0777 : 0;
}

} // namespace

class ActivityRecordTest : public QObject {
    Q_OBJECT

private slots:
    // The key pairs are made on the thread pool: the last one must be released before the leak
    // check at exit, also when a loaded machine finishes it late.
    void cleanupTestCase()
    {
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void recordsEveryRequest_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("expected"); // oldest first
        QTest::addColumn<QStringList>("details");  // found in the entries' details, in this order
        const QStringList enrolled{"registration accepted", "completion accepted"};
        // clang-format off
        QTest::newRow("everything accepted") << "" << enrolled + QStringList{"check-in accepted", "download accepted", "download not modified", "presence accepted"}
            << QStringList{R"(, device "desk-9" (serial PF3XK2LM), user alice)", "agent ", "fingerprint version 0, agent version 1.0, new file address asked", "/fingerprint-file, version 3", "/fingerprint-file", "Office (a) site-a/level-3"};
        QTest::newRow("registration key refused") << "wrong key" << QStringList{"registration refused"} << QStringList{"status 401; agent "};
        QTest::newRow("completion refused") << "completion" << QStringList{"registration accepted", "completion refused"} << QStringList{"agent", "status 500; agent "};
        QTest::newRow("refused once enrolled") << "refusals" << enrolled + QStringList{"check-in refused", "download refused", "download refused", "presence refused"}
            << QStringList{"", "", "status 503; fingerprint version 0", "status 404; http://127.0.0.1:", "status 404;", "status 503; a site-a/level-3"};
        QTest::newRow("service gone once enrolled") << "down" << enrolled + QStringList{"check-in failed", "download failed", "download failed", "presence failed"}
            << QStringList{"", "", "ConnectionRefusedError(\"Connection refused\"); fingerprint version 0", "ConnectionRefusedError", "ConnectionRefusedError", "ConnectionRefusedError"};
        // clang-format on
    }

    // The connection the agent uses against the reference service: enrolment, a check-in, two
    // downloads (the second one answered "not modified") and a presence report.
    void recordsEveryRequest()
    {
        QFETCH(QString, fault);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, details);
        QTemporaryDir dir;
        ManualClock clock(start);
        Settings settings(dir.filePath(QStringLiteral("settings.conf")), dir.filePath(QStringLiteral("managed")));
        PresenceServiceConfig config;
        config.registrationKey = registrationKey;
        QByteArray office = test::internalIpFingerprint("a", "10.1.0.0/16");
        office.replace(R"("name":"a")", R"("name":"Office")").replace(R"("site-a")", R"("site-a","levelId":"level-3")");
        config.fingerprintFilePath =
            test::writeFile(dir, QStringLiteral("served.json"), test::fingerprintFile(3, {office}));
        PresenceService service(config, clock);
        QVERIFY(service.listen(QHostAddress::LocalHost, 0) != 0);
        const QString path = dir.filePath(QStringLiteral("data/activity.jsonl"));
        auto record = std::make_shared<ActivityRecord>(path, clock);
        QNetworkAccessManager session;
        FingerprintFileClient files(session, settings, dir.filePath(QStringLiteral("data")));
        NerovaServiceConnection connection(session, settings, clock, files, 5s, record);

        if (fault == u"completion") {
            service.setStatus(u'/' + settings.agentIdentifier() + QStringLiteral("/complete-registration"), 500);
        }
        const DeviceInformation device{QStringLiteral("alice"), AgentDeviceType::mac, QStringLiteral("PF3XK2LM"),
                                       QStringLiteral("desk-9")};
        AgentCredentials credentials;
        try {
            credentials = await(connection.registerAgent(
                service.baseUrl(), settings.agentIdentifier(),
                fault == u"wrong key" ? QStringLiteral("wrong-key-1") : registrationKey, device));
        } catch (const std::exception&) {
        }
        if (!credentials.secret.isEmpty()) {
            // The service gone: its port no longer answers.
            const QUrl base = fault == u"down" ? QUrl(QStringLiteral("http://127.0.0.1:1")) : service.baseUrl();
            const ServiceCredentials access{base, credentials.secret, settings.agentIdentifier(), credentials.projectId,
                                            credentials.instanceId};
            const QString agentPath = u'/' + settings.agentIdentifier();
            if (fault == u"refusals") {
                service.setStatus(agentPath + QStringLiteral("/check-in"), 503);
                service.setStatus(agentPath + QStringLiteral("/presence"), 503);
                service.setStatus(QStringLiteral("/fingerprint-file"), 404);
            }
            // A download address that carries a token, as a signed one would.
            const QString download = base.toString() + QStringLiteral("/fingerprint-file?") + downloadToken;
            const auto attempt = [](auto task) {
                try {
                    await(std::move(task));
                } catch (const std::exception&) {
                }
            };
            attempt(connection.postCheckin(access, {0, QStringLiteral("1.0"), true}));
            attempt(connection.fetchFingerprintFile(download));
            attempt(connection.fetchFingerprintFile(download));
            AgentPresenceRequest report{clock.now(), QStringLiteral("a"), 3, {"site-a", "level-3", {}, {}}};
            attempt(connection.postPresence(access, report));
        }

        record->waitForWrites();
        const QList<ActivityEntry> entries = record->entries();
        QCOMPARE(kindsAndOutcomes(entries), expected);
        QCOMPARE(ActivityRecord::read(path, clock.now()), entries); // the file says what the record holds
        for (qsizetype i = 0; i < details.size(); ++i) {
            const QString& detail = entries.at(entries.size() - 1 - i).detail;
            QVERIFY2(detail.contains(details[i]), qPrintable(detail));
        }
        QCOMPARE(entries.first().time, QDateTime(start.date(), QTime(9, 15, 2), Qt::UTC));
        QVERIFY(contentsOf(path).startsWith(R"({"time":"2026-12-07T09:15:02Z","request":"registration","outcome":)"));
        QCOMPARE(modeOf(path), mode_t(0600));
        // Nothing that would let someone act as the agent.
        QByteArrayList secrets{registrationKey.toUtf8(), downloadToken.toUtf8(), "wrong-key-1"};
        secrets += service.signatures();
        if (!credentials.secret.isEmpty()) {
            secrets << credentials.secret.toUtf8();
        }
        const QByteArray text = contentsOf(path);
        for (const QByteArray& secret : secrets) {
            QVERIFY2(!text.contains(secret), secret.constData());
        }
    }

    void staysWithinItsBounds_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("spacing"); // seconds between entries
        QTest::addColumn<int>("kept");
        QTest::newRow("a few") << 10 << 60 << 10;
        QTest::newRow("1,000 entries") << 1000 << 60 << 1000;
        QTest::newRow("3,000 entries: the newest 1,000") << 3000 << 60 << 1000;
        QTest::newRow("one a day for 45 days: today and 30 days back") << 45 << 86'400 << 31;
        QTest::newRow("one an hour for 60 days: 30 days") << 1440 << 3600 << 721;
    }

    // In memory, in the file, and for a new record reading the file, at once and after the rewrite.
    void staysWithinItsBounds()
    {
        QFETCH(int, count);
        QFETCH(int, spacing);
        QFETCH(int, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("activity.jsonl"));
        ManualClock clock(start);
        {
            ActivityRecord record(path, clock);
            for (int i = 0; i < count; ++i) {
                clock.advance(qint64(spacing) * 1000);
                record.record(ActivityRequest::presence, ActivityOutcome::accepted, QString::number(i));
            }
            QCOMPARE(record.entries().size(), kept);
            QCOMPARE(record.entries().first().detail, QString::number(count - 1));
            QCOMPARE(record.entries().last().detail, QString::number(count - kept));
        } // waits for the writes
        const QList<ActivityEntry> read = ActivityRecord::read(path, clock.now());
        QCOMPARE(read.size(), kept);
        QCOMPARE(read.first().detail, QString::number(count - 1));
        QVERIFY(contentsOf(path).count('\n') <= kept + ActivityRecord::maxEntries / 4);
        QCOMPARE(modeOf(path), mode_t(0600));
        ActivityRecord again(path, clock);
        QCOMPARE(again.entries(), read);
        clock.advance(31LL * 86'400'000);
        QVERIFY(again.entries().isEmpty());
        QVERIFY(ActivityRecord::read(path, clock.now()).isEmpty());
    }

    // Damaged lines are skipped, a truncated last line does not swallow the next entry, and no good
    // line is lost.
    void readsADamagedFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("activity.jsonl"));
        ManualClock clock(start);
        const QByteArray good1 =
            R"({"time":"2026-12-07T08:00:00Z","request":"check-in","outcome":"accepted","detail":"one"})";
        const QByteArray good2 =
            R"({"time":"2026-12-07T08:30:00Z","request":"download","outcome":"not modified","detail":"two"})";
        const QByteArray damaged =
            "garbage\n\xff\xfe\x01\n{}\n[1,2]\n\n" + QByteArray(100'000, '[') + "\n" +
            R"({"time":"yesterday","request":"check-in","outcome":"accepted","detail":""})" + "\n" +
            R"({"time":"2026-12-07T08:10:00+01:00","request":"check-in","outcome":"accepted","detail":""})" + "\n" +
            R"({"time":"2026-12-07T08:10:00Z","request":"ping","outcome":"accepted","detail":""})" + "\n" +
            R"({"time":"2026-12-07T08:10:00Z","request":"check-in","outcome":"maybe","detail":""})" + "\n" +
            R"({"time":"2026-12-07T08:10:00Z","request":"check-in","outcome":"accepted","detail":7})" + "\n";
        test::writeFile(dir, QStringLiteral("activity.jsonl"),
                        good1 + '\n' + damaged + good2 + '\n' + "{\"time\":\"2026-12-07T09:00:00Z\",\"requ");
        QCOMPARE(kindsAndOutcomes(ActivityRecord::read(path, clock.now())),
                 QStringList({"check-in accepted", "download not modified"}));
        {
            ActivityRecord record(path, clock);
            QCOMPARE(record.entries().size(), 2);
            record.record(ActivityRequest::presence, ActivityOutcome::failed, QStringLiteral("three"));
        }
        const QList<ActivityEntry> read = ActivityRecord::read(path, clock.now());
        QCOMPARE(kindsAndOutcomes(read),
                 QStringList({"check-in accepted", "download not modified", "presence failed"}));
        QCOMPARE(read.first().detail, QStringLiteral("three"));
    }

    // One log line, whatever the number of entries; the entries stay in memory.
    void carriesOnWhenTheFileCannotBeWritten()
    {
        QTemporaryDir dir;
        test::writeFile(dir, QStringLiteral("blocked"), "a file where the folder should be");
        ManualClock clock(start);
        ActivityRecord record(dir.filePath(QStringLiteral("blocked/activity.jsonl")), clock);
        QSignalSpy recorded(&record, &ActivityRecord::recorded);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Cannot write the activity record ")));
        for (int i = 0; i < 5; ++i) {
            record.record(ActivityRequest::checkin, ActivityOutcome::accepted,
                          QString(ActivityRecord::maxDetailChars + 10, u'x'));
        }
        record.waitForWrites();
        QCOMPARE(recorded.size(), 5);
        QCOMPARE(record.entries().size(), 5);
        QCOMPARE(record.entries().first().detail.size(), ActivityRecord::maxDetailChars);
    }
};

QTEST_GUILESS_MAIN(ActivityRecordTest)
#include "ActivityRecordTest.moc"
