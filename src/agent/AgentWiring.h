#pragma once

#include "agent/Agent.h"
#include "common/Clock.h"
#include "common/Settings.h"
#include "service/AgentSecret.h"
#include "service/FingerprintFileClient.h"

#include <QNetworkAccessManager>

#include <memory>

namespace nerova {

// The one place that builds the agent's components for this session.

// The user's settings under the managed configuration, at their standard places.
Settings makeUserSettings();
// The agent's secret in the session's credential store.
AgentSecret makeAgentSecret();

// The parts of the agent of this session: the system's monitors, the credential store, the real
// service clients on one shared access manager, and what they need to live. The agent built from
// `components` must be destroyed before the rest.
struct SystemAgentParts {
    std::unique_ptr<QNetworkAccessManager> session;
    std::unique_ptr<FingerprintFileClient> fingerprintFiles;
    AgentComponents components;
};
SystemAgentParts makeSystemAgentParts(Settings& settings, const Clock& clock);

} // namespace nerova
