#include "core/AgentWiring.h"

#include "common/BuildInfo.h"
#include "core/KeychainSecretStore.h"
#include "core/NerovaServiceConnection.h"
#include "core/SystemMonitors.h"
#include "service/PublicIPClient.h"

namespace nerova {

namespace {

Logger logger(const char* category, const char* subsystem = buildinfo::identifier)
{
    return Logger(QString::fromLatin1(subsystem), QString::fromLatin1(category));
}

} // namespace

Settings makeUserSettings()
{
    return Settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory(), logger("Settings"));
}

AgentSecret makeAgentSecret() { return AgentSecret(logger("AgentSecret")); }

SystemAgentParts makeSystemAgentParts(Settings& settings, const Clock& clock)
{
    SystemAgentParts parts;
    parts.session = std::make_unique<QNetworkAccessManager>();
    parts.fingerprintFiles = std::make_unique<FingerprintFileClient>(
        *parts.session, settings, logger("FingerprintFile", "com.nerova.nerovaagent"));
    const std::optional<QString> publicIp = settings.managedSetting(QString::fromLatin1(settingskey::publicIpEndpoint));
    const QUrl publicIpEndpoint = publicIp ? QUrl(*publicIp) : PublicIPClient::defaultEndpoint();

    AgentComponents& components = parts.components;
    components.machineState = std::make_unique<MachineState>(logger("MachineState", "com.nerova.NerovaAgent"));
    components.networkMonitor = makeSystemNetworkMonitor(publicIpEndpoint);
    const Logger rules = logger("RulesEngine");
    components.rulesEngine = std::make_unique<RulesEngine>(rules, *parts.session, makeSystemProbes(rules));
    components.lockMonitor = makeSystemLockMonitor(clock);
    components.secretStore = std::make_unique<KeychainSecretStore>(makeAgentSecret());
    components.service =
        std::make_unique<NerovaServiceConnection>(*parts.session, settings, clock, *parts.fingerprintFiles);
    return parts;
}

} // namespace nerova
