#include "common/Logger.h"

#include "common/Error.h"

#include <mutex>

namespace nerova {

namespace {

std::shared_ptr<LogSink>& defaultSinkSlot()
{
    static std::shared_ptr<LogSink> sink = makeSystemLogSink(false);
    return sink;
}

bool isConversionFlag(QChar c)
{
    return c.isDigit() || c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'.' || c == u'h' || c == u'l' ||
           c == u'q' || c == u'j' || c == u'z' || c == u't' || c == u'L';
}

} // namespace

QString logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug: return QStringLiteral("debug");
    case LogLevel::info: return QStringLiteral("info");
    case LogLevel::error: return QStringLiteral("error");
    }
    return QStringLiteral("unknown");
}

std::shared_ptr<LogSink> defaultLogSink() { return defaultSinkSlot(); }

void setDefaultLogSink(std::shared_ptr<LogSink> sink)
{
    if (sink) {
        defaultSinkSlot() = std::move(sink);
    }
}

QString toLogArgument(const std::exception& error) { return describeException(error); }

QString renderLogMessage(QStringView format, const QStringList& arguments)
{
    QString out;
    out.reserve(format.size() + 32);
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        if (format[i + 1] == u'%') {
            out += u'%';
            ++i;
            continue;
        }
        qsizetype j = i + 1;
        if (format[j] == u'{') {
            while (j < format.size() && format[j] != u'}') {
                ++j;
            }
            ++j;
        }
        while (j < format.size() && isConversionFlag(format[j])) {
            ++j;
        }
        if (j >= format.size()) {
            out += format.mid(i);
            break;
        }
        out += next < arguments.size() ? arguments[next] : QStringLiteral("<missing>");
        ++next;
        i = j;
    }
    return out;
}

Logger::Logger(QString subsystem, QString category, std::shared_ptr<LogSink> sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(sink ? std::move(sink) : defaultLogSink())
{}

Logger Logger::withCategory(QString subsystem, QString category) const
{
    return Logger(std::move(subsystem), std::move(category), sink_);
}

void Logger::write(LogLevel level, const char* format, QStringList arguments) const
{
    LogRecord record{level, subsystem_, category_, QString::fromUtf8(format), std::move(arguments), {}};
    record.message = renderLogMessage(record.format, record.arguments);
    sink_->write(record);
}

} // namespace nerova
