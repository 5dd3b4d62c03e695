#pragma once

#include <QLoggingCategory>

namespace nerova {

// The log category of the rules engine and its condition checkers.
Q_DECLARE_LOGGING_CATEGORY(lcRulesEngine)

} // namespace nerova
