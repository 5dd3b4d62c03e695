#pragma once

#include "cli/Console.h"

#include <QCoro/QCoroTask>
#include <QStringList>

namespace nerova {

// Runs the command named by `arguments` (program name first) and yields its exit code.
// Every failure is reported on the console; nothing escapes as an exception.
QCoro::Task<int> runCommandLine(QStringList arguments, Console& console);

} // namespace nerova
