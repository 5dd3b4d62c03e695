#pragma once

#include "common/LogHandler.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

namespace nerova::test {

// Writes `contents` to `name` inside `dir` and yields the file's path.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents);

// Captures what a command writes to its two streams.
class ConsoleCapture {
public:
    QTextStream& out() { return out_; }
    QTextStream& err() { return err_; }
    QString outText() { return out_.flush(), outBuffer_; } // flushed first
    QString errText() { return err_.flush(), errBuffer_; }

private:
    QString outBuffer_;
    QString errBuffer_;
    QTextStream out_{&outBuffer_};
    QTextStream err_{&errBuffer_};
};

// The program's error lines while it lives, in order, instead of the output. Its debug lines are on
// meanwhile and kept apart, for tests that look for what must never be logged.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    const QStringList& errors() const { return errors_; }
    // Every line of the program's categories, whatever its level.
    const QStringList& all() const { return all_; }

private:
    QStringList errors_;
    QStringList all_;
    LogReceiver receiver_;
};

} // namespace nerova::test
