#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

#include <memory>

namespace nerova::test {

// The repository's root, for sample files.
QString sourceDir();

// Writes `contents` to `name` inside `dir` and yields the file's path.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents);

// Captures what a command writes to its two streams.
class ConsoleCapture {
public:
    ConsoleCapture();
    QTextStream& out() { return out_; }
    QTextStream& err() { return err_; }
    QString outText();
    QString errText();

private:
    QString outBuffer_;
    QString errBuffer_;
    QTextStream out_;
    QTextStream err_;
};

} // namespace nerova::test
