#pragma once

#include "common/LogSink.h"

#include <QList>

namespace nerova {

// Keeps every log line, debug included, in the order written. Tests assert on it.
class CaptureLogSink final : public LogSink {
public:
    bool isDebugEnabled(const QString&) const override { return true; }
    void write(const LogRecord& record) override { records_.append(record); }

    const QList<LogRecord>& records() const { return records_; }
    // "level format" per line, for example "debug Checking %s", in order.
    QStringList formats() const;
    // "level message" per line, with the arguments filled in.
    QStringList messages() const;
    void clear() { records_.clear(); }

private:
    QList<LogRecord> records_;
};

} // namespace nerova
