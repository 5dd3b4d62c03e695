#pragma once

#include "cli/Console.h"

#include <QCoro/QCoroTask>
#include <QStringList>

namespace nerova {

// The subcommands; each takes its own name as the first argument.
QCoro::Task<int> runRunCommand(QStringList arguments, Console& console);
QCoro::Task<int> runCheckCommand(QStringList arguments, Console& console);
QCoro::Task<int> runProbeCommand(QStringList arguments, Console& console);
QCoro::Task<int> runSnapshotCommand(QStringList arguments, Console& console);
QCoro::Task<int> runConfigCommand(QStringList arguments, Console& console);
QCoro::Task<int> runStatusCommand(QStringList arguments, Console& console);
QCoro::Task<int> runRefreshCommand(QStringList arguments, Console& console);
QCoro::Task<int> runPauseCommand(QStringList arguments, Console& console);
QCoro::Task<int> runResumeCommand(QStringList arguments, Console& console);
QCoro::Task<int> runResetEnrolmentCommand(QStringList arguments, Console& console);
QCoro::Task<int> runWatchCommand(QStringList arguments, Console& console);
QCoro::Task<int> runFingerprintCommand(QStringList arguments, Console& console);

QCoro::Task<int> runActivityCommand(QStringList arguments, Console& console);

} // namespace nerova
