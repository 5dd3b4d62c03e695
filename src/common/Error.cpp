#include "common/Error.h"

#include <QStringList>

namespace nerova {

const char* Error::what() const noexcept
{
    if (what_.isEmpty()) {
        what_ = description().toUtf8();
    }
    return what_.constData();
}

QString describeCase(const QString& caseName, const QString& payload)
{
    QString quoted;
    quoted.reserve(payload.size() + 2);
    for (const QChar c : payload) {
        switch (c.unicode()) {
        case '"': quoted += QLatin1String("\\\""); break;
        case '\\': quoted += QLatin1String("\\\\"); break;
        case '\n': quoted += QLatin1String("\\n"); break;
        case '\r': quoted += QLatin1String("\\r"); break;
        case '\t': quoted += QLatin1String("\\t"); break;
        default: quoted += c;
        }
    }
    return caseName + QLatin1String("(\"") + quoted + QLatin1String("\")");
}

QString nameAt(const char* names, int index) { return QString::fromLatin1(names).split(u',').value(index).trimmed(); }

QString describeException(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->description();
    }
    return QString::fromUtf8(error.what());
}

} // namespace nerova
