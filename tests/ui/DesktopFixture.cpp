#include "DesktopFixture.h"

#include "AgentStandIns.h"

#include "common/Await.h"
#include "rules/FingerprintFileJson.h"

#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

namespace nerova::test {

namespace {

class StandInFacts final : public MachineFacts {
public:
    std::optional<QString> serialNumber() const override { return QStringLiteral("PF3XK2LM"); }
    std::optional<QByteArray> model() const override { return QByteArray("ThinkPad T14 Gen 3\n"); }
    std::optional<int> chassisType() const override { return 10; } // notebook
    std::optional<QString> computerName() const override { return QStringLiteral("desk-42"); }
};

} // namespace

class StandInService final : public ServiceConnection {
public:
    QCoro::Task<AgentCredentials> registerAgent(QUrl, QString, QString, DeviceInformation) override
    {
        throw std::runtime_error("not enrolling in this test");
    }
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(QUrl, QString, QString, AgentCheckinRequest, QString,
                                                                 QString) override
    {
        co_return std::optional<AgentCheckinResponse>();
    }
    QCoro::Task<void> postPresence(QUrl, QString, QString, AgentPresenceRequest, QString, QString) override
    {
        co_return;
    }
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString) override
    {
        ++downloads;
        co_return std::optional<FingerprintFile>(DesktopFixture::servedFile());
    }

    int downloads = 0;
};

DesktopFixture::DesktopFixture() : clock_(QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC))
{
    qputenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toUtf8());
    settings_ = std::make_unique<Settings>(dir_.filePath(QStringLiteral("user.conf")),
                                           dir_.filePath(QStringLiteral("managed")), getuid());
    AgentComponents parts;
    parts.machineState = std::make_unique<MachineState>(std::make_shared<StandInFacts>());
    auto network = std::make_unique<StandInNetwork>(events_);
    network_ = network.get();
    parts.networkMonitor = std::move(network);
    parts.rulesEngine = std::make_unique<RulesEngine>(makeSystemProbes(session_));
    auto lock = std::make_unique<StandInLock>();
    lock->click = clock_.now(); // the user has clicked today
    parts.lockMonitor = std::move(lock);
    auto secrets = std::make_unique<StandInSecrets>();
    secrets->secret = QStringLiteral("s");
    parts.secretStore = std::move(secrets);
    auto service = std::make_unique<StandInService>();
    service_ = service.get();
    parts.service = std::move(service);
    AgentIntervals intervals;
    intervals.checkin = intervals.fingerprintCheck = intervals.timeOfDay = std::chrono::hours(24);
    agent_ = std::make_unique<Agent>(std::move(parts), *settings_, clock_, intervals);
}

DesktopFixture::~DesktopFixture() { agent_->stop(); }

void DesktopFixture::configure()
{
    settings_->setText(QString::fromLatin1(settingskey::agentEndpoint), QStringLiteral("http://127.0.0.1:9"));
    settings_->setText(QString::fromLatin1(settingskey::registrationKey), QStringLiteral("k"));
    settings_->setFlag(QString::fromLatin1(settingskey::isRegistered), true);
    settings_->setText(QString::fromLatin1(settingskey::projectID), QStringLiteral("p"));
    settings_->setText(QString::fromLatin1(settingskey::instanceID), QStringLiteral("i"));
    settings_->setText(QString::fromLatin1(settingskey::fingerprintURL), QStringLiteral("http://127.0.0.1:9/f"));
    settings_->setInteger(QString::fromLatin1(settingskey::fingerprintExpiry), 4'000'000'000);
}

void DesktopFixture::setManaged(const QByteArray& json)
{
    QDir().mkpath(dir_.filePath(QStringLiteral("managed")));
    QFile file(dir_.filePath(QStringLiteral("managed/10.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(json);
}

void DesktopFixture::startInstalled()
{
    agent_->start();
    QVERIFY(QTest::qWaitFor([this] { return agent_->fingerprintFile().has_value(); }, 10'000));
    QVERIFY(QTest::qWaitFor([this] { return !agent_->isCheckinRunning() && !agent_->isFingerprintCheckRunning(); }));
}

void DesktopFixture::deliver(const NetworkContext& context)
{
    QSignalSpy handled(agent_.get(), &Agent::contextHandled);
    network_->current = context;
    network_->contexts.send(context);
    QVERIFY(handled.wait(10'000));
}

int DesktopFixture::downloads() const { return service_->downloads; }

void DesktopFixture::checkin() { nerova::await(agent_->runCheckinCycle()); }

FingerprintFile DesktopFixture::servedFile()
{
    const QByteArray json = R"({"fingerprintVersion": 7, "createdAt": "2026-03-01T08:00:00.000Z", "fingerprints": [
  {"fingerprintId": "office", "name": "Office", "locationPoint": {"locationId": "HQ", "levelId": "3", "zoneId": "East"},
   "rules": [{"name": "Office LAN", "conditions": [
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "10.1.0.0/16"}], "rules": [], "inverted": false}]},
    {"name": "Printer", "conditions": [{"type": "ping", "arguments": [], "rules": [], "inverted": true},
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "10.1.0.0/16"}], "rules": [], "inverted": false}]}]},
  {"fingerprintId": "home", "name": "Home", "locationPoint": {"locationId": "Home"},
   "rules": [{"name": "Home network", "conditions": [
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "192.168.0.0/16"}], "rules": [], "inverted": false},
     {"type": "or", "arguments": [], "inverted": false, "rules": [{"name": "Nested", "conditions": []}]}]}]}]})";
    return decodeFingerprintFile(json, TimestampForm::served);
}

NetworkContext DesktopFixture::officeContext()
{
    return {"203.0.113.7",
            {{AddressType::IPv4, "eth0", "10.1.0.5"}, {AddressType::IPv6, "eth0", "fe80::1"}},
            std::nullopt,
            {{"eth0", "52:54:00:12:34:56"}, {"wlan0", "a4:c3:f0:85:ac:2d"}}};
}

NetworkContext DesktopFixture::contextWithoutExternal()
{
    return {
        std::nullopt, {{AddressType::IPv4, "wlan0", "192.168.7.5"}}, std::nullopt, {{"wlan0", "a4:c3:f0:85:ac:2d"}}};
}

} // namespace nerova::test
