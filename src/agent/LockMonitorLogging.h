#pragma once

#include <QLoggingCategory>

namespace nerova {

// The log category of the lock monitor and its event sources.
Q_DECLARE_LOGGING_CATEGORY(lcLockMonitor)

} // namespace nerova
