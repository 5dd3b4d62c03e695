#pragma once

#include <QLoggingCategory>

namespace nerova {

// The log category of the network monitor and its change sources.
Q_DECLARE_LOGGING_CATEGORY(lcNetworkMonitor)

} // namespace nerova
