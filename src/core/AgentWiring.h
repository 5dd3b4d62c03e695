#pragma once

#include "common/Settings.h"
#include "service/AgentSecret.h"

namespace nerova {

// The one place that builds the agent's components that still take a log handle.

// The user's settings under the managed configuration, at their standard places.
Settings makeUserSettings();
// The agent's secret in the session's credential store.
AgentSecret makeAgentSecret();

} // namespace nerova
