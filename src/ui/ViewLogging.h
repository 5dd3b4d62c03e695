#pragma once

#include <QLoggingCategory>

namespace nerova {

// The log category of the desktop agent's windows, menu and notifications.
Q_DECLARE_LOGGING_CATEGORY(lcView)

} // namespace nerova
