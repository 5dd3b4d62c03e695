#pragma once

#include <QLoggingCategory>

namespace nerova {

// The agent's log category, shared by the files of the agent.
Q_DECLARE_LOGGING_CATEGORY(lcAgent)

} // namespace nerova
