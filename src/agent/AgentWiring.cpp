#include "agent/AgentWiring.h"

#include "agent/ActivityRecord.h"
#include "agent/KeychainSecretStore.h"
#include "agent/NerovaServiceConnection.h"
#include "agent/SystemMonitors.h"
#include "service/PublicIPClient.h"

namespace nerova {

Settings makeUserSettings() { return Settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory()); }

AgentSecret makeAgentSecret() { return AgentSecret(); }

SystemAgentParts makeSystemAgentParts(Settings& settings, const Clock& clock)
{
    SystemAgentParts parts;
    parts.session = std::make_unique<QNetworkAccessManager>();
    parts.fingerprintFiles = std::make_unique<FingerprintFileClient>(*parts.session, settings);
    const std::optional<QString> publicIp = settings.managedSetting(QString::fromLatin1(settingskey::publicIpEndpoint));
    const QUrl publicIpEndpoint = publicIp ? QUrl(*publicIp) : PublicIPClient::defaultEndpoint();

    AgentComponents& components = parts.components;
    components.machineState = std::make_unique<MachineState>();
    components.networkMonitor = makeSystemNetworkMonitor(publicIpEndpoint);
    components.rulesEngine = std::make_unique<RulesEngine>(makeSystemProbes(*parts.session));
    components.lockMonitor = makeSystemLockMonitor(clock);
    components.secretStore = std::make_unique<KeychainSecretStore>(makeAgentSecret());
    components.activityRecord = std::make_shared<ActivityRecord>(ActivityRecord::defaultPath(), clock);
    components.service =
        std::make_unique<NerovaServiceConnection>(*parts.session, settings, clock, *parts.fingerprintFiles,
                                                  NerovaClient::defaultTimeout, components.activityRecord);
    return parts;
}

} // namespace nerova
