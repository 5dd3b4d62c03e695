#include "common/AppInfo.h"

#include "common/BuildInfo.h"

#include <QStandardPaths>

namespace nerova {

namespace {

QString textOrUnknown(const char* text)
{
    const QString value = QString::fromUtf8(text).trimmed();
    return value.isEmpty() ? QStringLiteral("Unknown") : value;
}

} // namespace

QString appVersion() { return textOrUnknown(buildinfo::version); }

QString appBuild() { return textOrUnknown(buildinfo::build); }

QString appDataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Nerova/NerovaAgent");
}

} // namespace nerova
