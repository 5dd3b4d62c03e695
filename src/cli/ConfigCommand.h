#pragma once

#include "cli/Console.h"
#include "common/Settings.h"
#include "service/AgentSecret.h"

#include <QCoro/QCoroTask>
#include <QStringList>

namespace nerova {

// `config list | get KEY | set KEY VALUE | unset KEY` on the given stores (`arguments` starts
// with "config"). runConfigCommand uses the agent's own stores; tests pass temporary ones.
QCoro::Task<int> runConfig(QStringList arguments, Console& console, Settings& settings, AgentSecret& secret);

} // namespace nerova
