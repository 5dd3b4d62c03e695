#pragma once

#include "common/Clock.h"
#include "common/Settings.h"
#include "core/Agent.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <memory>

namespace nerova::test {

class StandInNetwork;
class StandInService;

// A real agent on stand-ins for the machine, the network, the lock monitor, the secret store and
// the service, with settings in a temporary directory, on Monday 2 March 2026, 10:00 UTC.
class DesktopFixture {
public:
    DesktopFixture();
    ~DesktopFixture();

    Agent& agent() { return *agent_; }
    Settings& settings() { return *settings_; }

    // Endpoint, registration key, enrolment and a valid fingerprint address: the check-ins succeed.
    void configure();
    void setManaged(const QByteArray& json);
    // Starts the agent and waits until the served fingerprint file is installed.
    void startInstalled();
    // Sends `context` to the monitor loop and waits until it is handled.
    void deliver(const NetworkContext& context);
    // Runs one check-in cycle to its end.
    void checkin();
    // How many times the agent fetched the fingerprint file.
    int downloads() const;

    // "Office" matches 10.1.0.0/16, "Home" 192.168.0.0/16 (the file the service hands out).
    static FingerprintFile servedFile();
    static NetworkContext officeContext();          // 10.1.0.5 on eth0, external 203.0.113.7
    static NetworkContext contextWithoutExternal(); // 192.168.7.5, no external address

private:
    QTemporaryDir dir_;
    QStringList events_; // what the stand-in network saw
    ManualClock clock_;
    QNetworkAccessManager session_;
    std::unique_ptr<Settings> settings_;
    StandInNetwork* network_ = nullptr;
    StandInService* service_ = nullptr;
    std::unique_ptr<Agent> agent_;
};

} // namespace nerova::test
