// The running agent, built from its real components, against the reference presence service with
// faults switched on and off, in a network namespace and on a private session bus with a keyring of
// the test's own. Every row moves the machine to the other location while its fault is on.
#include "agent/ActivityRecord.h"
#include "agent/Agent.h"
#include "agent/AgentWiring.h"
#include "agent/KeychainSecretStore.h"
#include "agent/NerovaServiceConnection.h"
#include "agent/SystemMonitors.h"
#include "common/Settings.h"
#include "support/FingerprintFiles.h"
#include "support/OpenSSLCommand.h"
#include "support/PrivateNetwork.h"
#include "support/SilentSecretService.h"
#include "support/TestSupport.h"
#include "tools/presence-service/PresenceService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <functional>

#include <csignal>
#include <unistd.h>

using namespace nerova;
using namespace nerova::presence;
using namespace std::chrono_literals;

class AgentFaultsTest;

namespace {

// Every interval of the agent, and the timeouts of every call to the service and to the Secret Service.
constexpr std::chrono::milliseconds tick = 1500ms, clientTimeout = 1500ms, secretTimeout = 1500ms;

const QString secretService = QStringLiteral("org.freedesktop.secrets");
const QString standInBus = QStringLiteral("stand-in");
const QByteArray damagedSettings("[General\n\x01\xfe garbage where the settings were\n");

void replaceFile(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    QVERIFY(file.commit());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The owner of the Secret Service's name; 0 when there is none.
uint secretServicePid()
{
    const QDBusReply<uint> pid = QDBusConnection::sessionBus().interface()->servicePid(secretService);
    return pid.isValid() ? pid.value() : 0;
}

using Step = std::function<void(AgentFaultsTest&)>;

struct FaultRow {
    std::string name;
    Step on;
    Step trigger;        // what meets the fault, besides the agent's own ticks
    const char* logLine; // the start of the critical line the fault causes; none when it is silent
    const char* message; // the start of `message` while the fault is on; none when the user need not know
    Step off = {};
    int flaps = 0;     // back-and-forth address changes before the move
    bool once = false; // the line is said once for the whole fault, whose cause stays as it is
};

std::vector<FaultRow> faultRows();

} // namespace

class AgentFaultsTest : public QObject {
    Q_OBJECT

public:
    explicit AgentFaultsTest(std::optional<QString> isolationFailure) : isolationFailure_(std::move(isolationFailure))
    {}

    PresenceService& service() { return *service_; }
    void checkin() { agent_->checkin(); }
    void download() { agent_->checkFingerprintFile(); }
    void enrol()
    {
        settings_->setFlag(settingskey::isRegistered, false);
        agent_->checkin();
    }
    QString path(const char* path) const
    {
        return path[0] == '/' ? QString::fromLatin1(path) : QStringLiteral("/%1/%2").arg(agentId_, path);
    }
    QString localCopyPath() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + u'/' +
               QString::fromLatin1(FingerprintFileClient::localCopyName);
    }
    void listenAgain() { QVERIFY(service_->servers().first()->listen(QHostAddress::LocalHost, port_)); }

    // The administrator's policy names the service and the registration key; the user's settings
    // name them too, for when the policy cannot be used.
    QString policyPath() const { return dir_.filePath(QStringLiteral("managed/50-agent.json")); }
    void writePolicy(const QByteArray& content)
    {
        replaceFile(policyPath(), content);
        QVERIFY(QFile::setPermissions(policyPath(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    void writePolicy(const QUrl& endpoint = {})
    {
        const Json policy{
            {"agentEndpoint", toStdString((endpoint.isEmpty() ? service_->baseUrl() : endpoint).toString())},
            {"registrationKey", "faults-key"}};
        writePolicy(QByteArray::fromStdString(policy.dump()));
    }
    // The policy points the agent at a second listener of the service, whose certificate (valid for
    // the address, but self-signed) nobody trusts.
    void pointAtUntrustedCertificate()
    {
        if (tlsPort_ == 0) {
            const QString key = dir_.filePath(QStringLiteral("tls.key"));
            const QString certificate = dir_.filePath(QStringLiteral("tls.crt"));
            test::openssl(QStringLiteral("req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -addext "
                                         "subjectAltName=IP:127.0.0.1 -days 1 -keyout %1 -out %2")
                              .arg(key, certificate)
                              .split(u' '));
            service_->sslSetup(QSslCertificate(readFile(certificate)), QSslKey(readFile(key), QSsl::Rsa));
            tlsPort_ = service_->listen(QHostAddress::LocalHost, 0);
            QVERIFY(tlsPort_ != 0);
        }
        writePolicy(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(tlsPort_)));
    }

    void damageSettings()
    {
        savedSettings_ = readFile(settings_->userFile());
        QVERIFY(savedSettings_.contains("agentID"));
        replaceFile(settings_->userFile(), damagedSettings);
    }
    void repairSettings()
    {
        QCOMPARE(readFile(settings_->userFile()), damagedSettings); // never written over
        replaceFile(settings_->userFile(), savedSettings_);
    }

    // The session's keyring, as the login would start it: unlocked, with the keyring on disk.
    void startKeyring()
    {
        QProcess daemon;
        daemon.setStandardOutputFile(QProcess::nullDevice());
        daemon.start(QStringLiteral("gnome-keyring-daemon"), {"--unlock", "--components=secrets"});
        QVERIFY(daemon.waitForStarted());
        daemon.write("\n"); // the empty password
        daemon.closeWriteChannel();
        QVERIFY(daemon.waitForFinished(10'000));
        QTRY_VERIFY_WITH_TIMEOUT(secretServicePid() != 0, 10'000);
    }
    void stopKeyring()
    {
        const uint pid = secretServicePid();
        QVERIFY(pid != 0 && pid != uint(::getpid()));
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(secretServicePid() == 0, 10'000);
    }
    // In the keyring's place, a Secret Service that never answers.
    void silenceKeyring()
    {
        stopKeyring();
        QDBusConnection standIn = QDBusConnection::connectToBus(QDBusConnection::SessionBus, standInBus);
        QVERIFY(standIn.registerVirtualObject(QStringLiteral("/"), &silent_, QDBusConnection::SubPath));
        QVERIFY(standIn.registerService(secretService));
    }
    void restoreKeyring()
    {
        // The unanswered calls fail as the stand-in leaves, so the keychain library's queue moves on.
        QDBusConnection::disconnectFromBus(standInBus);
        startKeyring();
    }

private:
    std::optional<QString> isolationFailure_;
    QTemporaryDir dir_;
    quint16 tlsPort_ = 0;
    QByteArray savedSettings_;
    test::SilentSecretService silent_;
    SystemClock clock_;
    std::unique_ptr<PresenceService> service_;
    quint16 port_ = 0;
    std::optional<Settings> settings_;
    std::optional<SystemAgentParts> parts_;
    std::unique_ptr<Agent> agent_;
    QString agentId_;
    QStringList expectedReports_;
    bool atA_ = false;                    // the machine's address lies in the range of fingerprint "a"
    std::optional<test::LogCapture> log_; // installed after the test library's own handler

    const std::vector<FaultRow> rows_ = faultRows();

    qsizetype linesStartingWith(const QString& prefix) const
    {
        return std::count_if(log_->errors().cbegin(), log_->errors().cend(),
                             [&](const QString& line) { return line.startsWith(prefix); });
    }

    QStringList reportedFingerprints() const
    {
        QStringList ids;
        for (const Json& report : service_->presenceReports()) {
            ids << fromStdString(report.at("fingerprintId").get<std::string>());
        }
        return ids;
    }

    // Moves the machine's address to the other location, through `flaps` back-and-forth changes
    // in between.
    void moveLocation(int flaps = 0)
    {
        const char* here = atA_ ? "10.67.0.1/24" : "10.68.0.1/24";
        const char* there = atA_ ? "10.68.0.1/24" : "10.67.0.1/24";
        for (int flap = 0; flap < flaps; ++flap) {
            QVERIFY(!test::runIp({"addr", "add", there, "dev", "nr0"}));
            QVERIFY(!test::runIp({"addr", "del", there, "dev", "nr0"}));
            QTest::qWait(80);
        }
        if (!expectedReports_.isEmpty()) {
            QVERIFY(!test::runIp({"addr", "del", here, "dev", "nr0"}));
        }
        QVERIFY(!test::runIp({"addr", "add", there, "dev", "nr0"}));
        atA_ = !atA_;
        expectedReports_ << QString::fromLatin1(atA_ ? "a" : "b");
    }

private slots:
    void initTestCase()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run on a private session bus (with-session-bus.sh)");
        QVERIFY2(secretServicePid() == 0, "run on a bus without a Secret Service (with-session-bus.sh bare)");
        startKeyring();
        if (const std::optional<QString> failure = test::addVethPair(QStringLiteral("nr0"), QStringLiteral("nr1"))) {
            QSKIP(qPrintable(*failure));
        }
        PresenceServiceConfig config;
        config.registrationKey = QStringLiteral("faults-key");
        config.fingerprintFilePath =
            test::writeFile(dir_, QStringLiteral("served.json"),
                            test::fingerprintFile(3, {test::internalIpFingerprint("a", "10.67.0.0/24"),
                                                      test::internalIpFingerprint("b", "10.68.0.0/24")}));
        service_ = std::make_unique<PresenceService>(config, clock_);
        port_ = service_->listen(QHostAddress::LocalHost, 0);
        QVERIFY(port_ != 0);
        QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("managed"))));
        writePolicy();
        settings_.emplace(Settings::defaultUserFile(), dir_.filePath(QStringLiteral("managed")));
        settings_->setText(settingskey::agentEndpoint, service_->baseUrl().toString());
        service_->servers().first()->close(); // the first row starts with the service down
        settings_->setText(settingskey::registrationKey, config.registrationKey);
        agentId_ = settings_->agentIdentifier();
        parts_.emplace(makeSystemAgentParts(*settings_, clock_));
        AgentComponents& components = parts_->components;
        components.networkMonitor = makeSystemNetworkMonitor(std::nullopt, 300ms);
        components.secretStore = std::make_unique<KeychainSecretStore>(AgentSecret(secretTimeout));
        components.service = std::make_unique<NerovaServiceConnection>(
            *parts_->session, *settings_, clock_, *parts_->fingerprintFiles, clientTimeout, components.activityRecord);
        agent_ = std::make_unique<Agent>(std::move(components), *settings_, clock_, AgentIntervals{tick, tick, tick});
        log_.emplace();
        agent_->start();
    }

    void cleanupTestCase()
    {
        if (agent_) {
            agent_->stop();
            agent_.reset();
        }
        if (const uint pid = secretServicePid(); pid != 0 && pid != uint(::getpid())) {
            ::kill(pid_t(pid), SIGTERM); // the keyring this test started
        }
    }

    void survivesFault_data()
    {
        QTest::addColumn<int>("row");
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            QTest::newRow(rows_[i].name.c_str()) << int(i);
        }
    }

    void survivesFault()
    {
        QFETCH(int, row);
        const FaultRow& fault = rows_[std::size_t(row)];
        const QString logLine = QString::fromLatin1(fault.logLine);
        const qsizetype linesBefore = linesStartingWith(logLine);
        const qsizetype errorsBefore = log_->errors().size();
        QElapsedTimer window;
        window.start();
        fault.on(*this);
        fault.trigger(*this);
        moveLocation(fault.flaps);
        if (fault.logLine) {
            QTRY_VERIFY_WITH_TIMEOUT(linesStartingWith(logLine) > linesBefore, 15'000);
        }
        if (fault.message) {
            QTRY_VERIFY2_WITH_TIMEOUT(agent_->message().startsWith(QString::fromLatin1(fault.message)),
                                      qPrintable(agent_->message()), 15'000);
        }
        QTest::qWait(int(2 * tick.count())); // two more attempts, each saying the line once, never in a loop
        if (fault.logLine) {
            const qint64 attempts = fault.once ? 1 : window.elapsed() / tick.count() + 2;
            const qsizetype written = linesStartingWith(logLine) - linesBefore;
            QVERIFY2(written <= attempts,
                     qPrintable(QStringLiteral("%1 lines in %2 ticks").arg(written).arg(attempts)));
        } else { // a fault the agent rides out without a word
            QVERIFY2(log_->errors().size() == errorsBefore, qPrintable(log_->errors().mid(errorsBefore).join(u'\n')));
        }

        service_->clearFaults();
        if (fault.off) {
            fault.off(*this);
        }
        QTRY_COMPARE_WITH_TIMEOUT(agent_->message(), QString(), 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(reportedFingerprints(), expectedReports_, 20'000);
        QTRY_VERIFY_WITH_TIMEOUT(agent_->isRegistered() && !agent_->hasUnsentPresence(), 20'000);
        // Recovered: the next ticks go through without an error and without a second report.
        const qsizetype errorsAfterRecovery = log_->errors().size();
        QTest::qWait(int(2 * tick.count()));
        QVERIFY2(log_->errors().size() == errorsAfterRecovery,
                 qPrintable(log_->errors().mid(errorsAfterRecovery).join(u'\n')));
        QCOMPARE(reportedFingerprints(), expectedReports_);
    }

    // After every fault: the activity record tells the refused and failed requests apart, and
    // holds no secret, signature or registration key.
    void activityRecordHoldsNoSecret()
    {
        QFile file(ActivityRecord::defaultPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray record = file.readAll();
        for (const char* entry :
             {R"("request":"registration","outcome":"failed")", R"("request":"check-in","outcome":"refused")",
              R"("request":"check-in","outcome":"failed")", R"("request":"presence","outcome":"refused")",
              R"("request":"download","outcome":"refused")", R"("request":"presence","outcome":"accepted")"}) {
            QVERIFY2(record.contains(entry), entry);
        }
        QByteArrayList secrets{service_->agents().value(agentId_).secret.toUtf8(), "faults-key"};
        secrets += service_->signatures();
        for (const QByteArray& secret : secrets) {
            QVERIFY(!secret.isEmpty());
            QVERIFY2(!record.contains(secret), secret.constData());
        }
    }
};

namespace {

// A fault of the service on `path`, where a path without a leading slash is the agent's own.
Step status(const char* path, int code)
{
    return [=](AgentFaultsTest& test) { test.service().setStatus(test.path(path), code); };
}
Step raw(const char* path, PresenceService::RawAnswer answer)
{
    return [=](AgentFaultsTest& test) { test.service().setRawAnswer(test.path(path), answer); };
}
Step policy(QByteArray content)
{
    return [=](AgentFaultsTest& test) { test.writePolicy(content); };
}

std::vector<FaultRow> faultRows()
{
    constexpr const char* enrolment = "Failed to register - ";
    constexpr const char* checkin = "error during check in ";
    constexpr const char* presence = "Error sending presence ";
    constexpr const char* download = "Error checking fingerprint eTag ";
    constexpr const char* enrolmentFailed = "Enrolment failed: ";
    constexpr const char* checkinFailed = "Check-in failed: ";
    constexpr const char* storeUnavailable = "Secret store unavailable: ";
    constexpr const char* ignoredPolicy = "Ignoring managed configuration ";
    constexpr const char* unreadableSettings = "Cannot read the user settings: ";
    using T = AgentFaultsTest;
    const Step ticks = [](T&) {}, checkNow = &T::checkin, enrolNow = &T::enrol, downloadNow = &T::download;
    const Step restorePolicy = [](T& test) { test.writePolicy(); };
    // A refused download is silent: only the service can tell that one was asked for.
    const Step downloadArrives = [](T& test) {
        const QString file = QStringLiteral("/fingerprint-file");
        const int before = test.service().requestCount(file);
        test.download();
        QTRY_VERIFY_WITH_TIMEOUT(test.service().requestCount(file) > before, 10'000);
    };
    // clang-format off
    const PresenceService::RawAnswer html{500, "text/html", "<html><body><h1>502 Bad Gateway</h1></body></html>", {}};
    return {
        {"service down at start and back later", ticks, ticks, enrolment, enrolmentFailed, &T::listenAgain},
        // An error on each call, a service's or a proxy's HTML page (the enrolment's is the row
        // above). A download the server refuses falls back to the local copy without a word.
        {"500 on check-in", status("check-in", 500), checkNow, checkin, checkinFailed},
        {"HTML page on presence", raw("presence", html), ticks, presence, nullptr},
        {"500 on download", status("/fingerprint-file", 500), downloadArrives, nullptr, nullptr},
        {"answer slower than the client's timeout", [](T& test) { test.service().setDelay(test.path("check-in"), 2 * clientTimeout); }, checkNow, checkin, checkinFailed},
        {"untrusted TLS certificate", &T::pointAtUntrustedCertificate, checkNow, checkin, checkinFailed, restorePolicy},
        // A new enrolment needs the store: the service's new secret cannot be kept, so the agent
        // stays unenrolled, and its report waits, until a keyring appears. The agent asks the bus
        // afresh at every call, so a store missing at start takes the same path.
        {"no Secret Service and one appearing later", &T::stopKeyring, enrolNow, enrolment, storeUnavailable, &T::startKeyring},
        {"locked keyring that never answers", &T::silenceKeyring, enrolNow, enrolment, storeUnavailable, &T::restoreKeyring},
        // A policy that cannot be used is an administrator's problem: the user's settings serve,
        // and the problem is said once until the file changes, however often the policy is read.
        {"malformed policy file", policy(R"({"agentEndpoint": "http://127.0.0.1)"), checkNow, ignoredPolicy, nullptr, restorePolicy, 0, true},
        {"policy value of the wrong type", policy(R"({"agentEndpoint": 42, "registrationKey": "faults-key"})"), checkNow, "Managed setting agentEndpoint is ", nullptr, restorePolicy, 0, true},
        // The damaged file is left as it is; nothing is enrolled, checked in or reported meanwhile.
        {"corrupted settings file", &T::damageSettings, checkNow, unreadableSettings, unreadableSettings, &T::repairSettings},
        {"corrupted local fingerprint copy", [](T& test) { replaceFile(test.localCopyPath(), "{\"fingerprintVersion\":3,\"finger"); }, downloadNow, download, nullptr},
        {"network flapping 100 times in 10 s", ticks, ticks, nullptr, nullptr, {}, 100},
    };
    // clang-format on
}

} // namespace

int main(int argc, char* argv[])
{
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Nerova"));
    QCoreApplication::setApplicationName(QStringLiteral("NerovaAgent"));
    AgentFaultsTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "AgentFaultsTest.moc"
