#include "common/CaptureLogSink.h"

namespace nerova {

QStringList CaptureLogSink::formats() const
{
    QStringList lines;
    for (const LogRecord& record : records_) {
        lines.append(logLevelName(record.level) + u' ' + record.format);
    }
    return lines;
}

QStringList CaptureLogSink::messages() const
{
    QStringList lines;
    for (const LogRecord& record : records_) {
        lines.append(logLevelName(record.level) + u' ' + record.message);
    }
    return lines;
}

} // namespace nerova
