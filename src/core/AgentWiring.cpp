#include "core/AgentWiring.h"

#include "common/BuildInfo.h"

namespace nerova {

namespace {

Logger logger(const char* category)
{
    return Logger(QString::fromLatin1(buildinfo::identifier), QString::fromLatin1(category));
}

} // namespace

Settings makeUserSettings()
{
    return Settings(Settings::defaultUserFile(), Settings::defaultManagedDirectory(), logger("Settings"));
}

AgentSecret makeAgentSecret() { return AgentSecret(logger("AgentSecret")); }

} // namespace nerova
