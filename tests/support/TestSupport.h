#pragma once

#include "common/LogHandler.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <memory>

namespace nerova::test {

// Writes `contents` to `name` inside `dir` and yields the file's path.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents);

// Captures what a command writes to its two streams.
class ConsoleCapture {
public:
    ConsoleCapture() : out_(&outBuffer_), err_(&errBuffer_) {}
    QTextStream& out() { return out_; }
    QTextStream& err() { return err_; }
    QString outText() { return out_.flush(), outBuffer_; } // flushed first
    QString errText() { return err_.flush(), errBuffer_; }

private:
    QString outBuffer_;
    QString errBuffer_;
    QTextStream out_;
    QTextStream err_;
};

// The program's error lines while it lives, in order, instead of the output. Its debug lines are on
// meanwhile and kept apart, for tests that look for what must never be logged.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const QStringList& errors() const { return errors_; }
    // Every line of the program's categories, whatever its level.
    const QStringList& all() const { return all_; }

private:
    QStringList errors_;
    QStringList all_;
    LogReceiver receiver_;
};

} // namespace nerova::test
