#pragma once

#include "common/LogSink.h"

#include <QString>
#include <QStringList>

#include <concepts>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace nerova {

// Text of one log argument.
inline QString toLogArgument(const QString& value) { return value; }
inline QString toLogArgument(QStringView value) { return value.toString(); }
inline QString toLogArgument(const char* value) { return QString::fromUtf8(value); }
inline QString toLogArgument(const std::string& value) { return QString::fromStdString(value); }
inline QString toLogArgument(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
QString toLogArgument(const std::exception& error);
template <std::integral T>
requires(!std::same_as<T, bool>) QString toLogArgument(T value) { return QString::number(value); }
template <std::floating_point T>
QString toLogArgument(T value)
{
    return QString::number(value);
}

// Replaces every printf-style conversion of `format` ("%s", "%@", "%ld", "%hu", "%{bool}d", ...)
// with the next argument, and "%%" with "%". Missing arguments render as "<missing>".
QString renderLogMessage(QStringView format, const QStringList& arguments);

// One log handle per component: a subsystem and a category, and the sink it writes to.
// Message texts are fixed; the variable parts are passed as arguments.
class Logger {
public:
    Logger(QString subsystem, QString category, std::shared_ptr<LogSink> sink = defaultLogSink());

    // A logger for another component that writes to the same sink.
    Logger withCategory(QString subsystem, QString category) const;

    const QString& subsystem() const { return subsystem_; }
    const QString& category() const { return category_; }

    template <typename... Args>
    void debug(const char* format, const Args&... args) const
    {
        if (sink_->isDebugEnabled(category_)) {
            write(LogLevel::debug, format, QStringList{toLogArgument(args)...});
        }
    }
    template <typename... Args>
    void info(const char* format, const Args&... args) const
    {
        write(LogLevel::info, format, QStringList{toLogArgument(args)...});
    }
    template <typename... Args>
    void error(const char* format, const Args&... args) const
    {
        write(LogLevel::error, format, QStringList{toLogArgument(args)...});
    }

private:
    void write(LogLevel level, const char* format, QStringList arguments) const;

    QString subsystem_;
    QString category_;
    std::shared_ptr<LogSink> sink_;
};

} // namespace nerova
