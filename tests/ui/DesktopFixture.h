#pragma once

#include "AgentStandIns.h"

#include "agent/ActivityRecord.h"
#include "agent/Agent.h"
#include "common/Await.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "rules/FingerprintFileJson.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace nerova::test {

inline void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

inline QImage iconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

class StandInFacts final : public MachineFacts {
public:
    std::optional<QString> serialNumber() const override { return QStringLiteral("PF3XK2LM"); }
    std::optional<QByteArray> model() const override { return QByteArray("ThinkPad T14 Gen 3\n"); }
    std::optional<int> chassisType() const override { return 10; } // notebook
    std::optional<QString> computerName() const override { return QStringLiteral("desk-42"); }
};

// Hands out a file where "Office" matches 10.1.0.0/16 and "Home" 192.168.0.0/16.
class StandInService final : public ServiceConnection {
public:
    QCoro::Task<AgentCredentials> registerAgent(QUrl, QString, QString, DeviceInformation) override
    {
        throw std::runtime_error("not enrolling in this test");
    }
    QCoro::Task<std::optional<AgentCheckinResponse>> postCheckin(ServiceCredentials, AgentCheckinRequest) override
    {
        co_return std::optional<AgentCheckinResponse>();
    }
    QCoro::Task<void> postPresence(ServiceCredentials, AgentPresenceRequest) override { co_return; }
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString) override
    {
        co_return decodeFingerprintFile(R"({"fingerprintVersion": 7, "createdAt": "2026-03-01T08:00:00.000Z",
 "fingerprints": [{"fingerprintId": "office", "name": "Office", "locationPoint": {"locationId": "HQ", "levelId": "3",
  "zoneId": "East"}, "rules": [{"name": "Office LAN", "conditions": [
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "10.1.0.0/16"}], "rules": [], "inverted": false}]},
    {"name": "Printer", "conditions": [{"type": "ping", "arguments": [], "rules": [], "inverted": true},
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "10.1.0.0/16"}], "rules": [], "inverted": false}]}]},
  {"fingerprintId": "home", "name": "Home", "locationPoint": {"locationId": "Home"},
   "rules": [{"name": "Home network", "conditions": [
     {"type": "internalIp", "arguments": [{"name": "cidrRange", "value": "192.168.0.0/16"}], "rules": [], "inverted": false},
     {"type": "or", "arguments": [], "inverted": false, "rules": [{"name": "Nested", "conditions": []}]}]}]}]})",
                                        TimestampForm::served);
    }
};

// A real agent on stand-ins for the machine, the network, the lock monitor, the secret store and
// the service, with settings in a temporary directory, on Monday 2 March 2026, 10:00 UTC.
class DesktopFixture {
public:
    DesktopFixture() : clock_(QDateTime(QDate(2026, 3, 2), QTime(10, 0), Qt::UTC))
    {
        qputenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toUtf8());
        settings_ = std::make_unique<Settings>(dir_.filePath(QStringLiteral("user.conf")),
                                               dir_.filePath(QStringLiteral("managed")), getuid());
        AgentComponents parts;
        parts.machineState = std::make_unique<MachineState>(std::make_shared<StandInFacts>());
        parts.networkMonitor = std::unique_ptr<StandInNetwork>(network_ = new StandInNetwork(events_));
        parts.rulesEngine = std::make_unique<RulesEngine>(makeSystemProbes(session_));
        auto lock = std::make_unique<StandInLock>();
        lock->click = clock_.now(); // the user has clicked today
        parts.lockMonitor = std::move(lock);
        auto secrets = std::make_unique<StandInSecrets>();
        secrets->secret = QStringLiteral("s");
        parts.secretStore = std::move(secrets);
        parts.service = std::make_unique<StandInService>();
        parts.activityRecord =
            std::make_shared<ActivityRecord>(dir_.filePath(QStringLiteral("activity.jsonl")), clock_);
        AgentIntervals intervals;
        intervals.checkin = intervals.fingerprintCheck = intervals.timeOfDay = std::chrono::hours(24);
        agent_ = std::make_unique<Agent>(std::move(parts), *settings_, clock_, intervals);
    }
    ~DesktopFixture() { agent_->stop(); }

    Agent& agent() { return *agent_; }
    Settings& settings() { return *settings_; }
    // How often the agent asked the network monitor for a fresh context.
    int refreshes() const { return network_->refreshes; }

    // Endpoint, registration key, enrolment and a valid fingerprint address: the check-ins succeed.
    void configure()
    {
        settings_->setText(QString::fromLatin1(settingskey::agentEndpoint), QStringLiteral("http://127.0.0.1:9"));
        settings_->setText(QString::fromLatin1(settingskey::registrationKey), QStringLiteral("k"));
        settings_->setFlag(QString::fromLatin1(settingskey::isRegistered), true);
        settings_->setText(QString::fromLatin1(settingskey::projectID), QStringLiteral("p"));
        settings_->setText(QString::fromLatin1(settingskey::instanceID), QStringLiteral("i"));
        settings_->setText(QString::fromLatin1(settingskey::fingerprintURL), QStringLiteral("http://127.0.0.1:9/f"));
        settings_->setInteger(QString::fromLatin1(settingskey::fingerprintExpiry), 4'000'000'000);
    }
    void setManaged(const QByteArray& json) { writeFile(dir_.filePath(QStringLiteral("managed/10.json")), json); }
    // Starts the agent and waits until the served fingerprint file is installed and the check-in
    // and the refresh have ended.
    void startInstalled()
    {
        QSignalSpy checkedIn(agent_.get(), &Agent::checkinFinished);
        QSignalSpy refreshed(agent_.get(), &Agent::fingerprintCheckFinished);
        agent_->start();
        QVERIFY(QTest::qWaitFor(
            [&] { return agent_->fingerprintFile().has_value() && !checkedIn.isEmpty() && !refreshed.isEmpty(); },
            10'000));
    }
    // Sends `context` to the monitor loop and waits until it is handled.
    void deliver(const NetworkContext& context)
    {
        QSignalSpy handled(agent_.get(), &Agent::contextHandled);
        network_->current = context;
        network_->contexts.send(context);
        QVERIFY(handled.wait(10'000));
    }

    // 10.1.0.5 on eth0, external 203.0.113.7, the gateway 10.1.0.1 on eth0, the Wi-Fi network
    // "Office" on wlan0 and one monitor.
    static NetworkContext officeContext()
    {
        return {"203.0.113.7",
                {{AddressType::IPv4, "eth0", "10.1.0.5", 16}, {AddressType::IPv6, "eth0", "fe80::1"}},
                std::nullopt,
                {{"eth0", "52:54:00:12:34:56"}, {"wlan0", "a4:c3:f0:85:ac:2d"}},
                {{{"eth0", "10.1.0.1", "02:00:5e:10:00:09", false}},
                 {{"wlan0", "Office", "02:00:5e:10:00:0a"}},
                 {"office.example"},
                 {{PeripheralKind::display, "display:DEL-a0c4-4c4b3231", "DELL U2720Q", true}}}};
    }

private:
    QTemporaryDir dir_;
    QStringList events_; // what the stand-in network saw
    ManualClock clock_;
    QNetworkAccessManager session_;
    std::unique_ptr<Settings> settings_;
    StandInNetwork* network_ = nullptr;
    std::unique_ptr<Agent> agent_;
};

} // namespace nerova::test
