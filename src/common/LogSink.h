#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace nerova {

enum class LogLevel { debug, info, error };

QString logLevelName(LogLevel level);

// One log line: a fixed message text with its arguments, and the text they render to.
struct LogRecord {
    LogLevel level;
    QString subsystem;
    QString category;
    QString format;
    QStringList arguments;
    QString message;
};

// Where log lines go. Sinks decide which debug lines are wanted, so that a disabled debug line
// costs no formatting.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool isDebugEnabled(const QString& category) const = 0;
    virtual void write(const LogRecord& record) = 0;
};

// The system log: the journal when its socket exists, else standard error. Debug lines are
// written when `verbose` is set or when QT_LOGGING_RULES enables "nerova.<category>.debug".
std::shared_ptr<LogSink> makeSystemLogSink(bool verbose);

// The sink that loggers use unless they are given one. Set once at start-up.
std::shared_ptr<LogSink> defaultLogSink();
void setDefaultLogSink(std::shared_ptr<LogSink> sink);

} // namespace nerova
