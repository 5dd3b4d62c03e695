#include "support/TestSupport.h"

#include <QFile>
#include <QLoggingCategory>

namespace nerova::test {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        qFatal("cannot write test file %s", qPrintable(path));
    }
    return path;
}

LogCapture::LogCapture()
    : receiver_([this](QtMsgType type, const char* category, const QString& message) {
          if (!isOwnCategory(category)) {
              return false;
          }
          if (type == QtCriticalMsg) {
              errors_.append(message);
          }
          all_.append(message);
          return true;
      })
{
    enableVerboseLogging();
}

LogCapture::~LogCapture() { QLoggingCategory::setFilterRules(QString()); }

} // namespace nerova::test
