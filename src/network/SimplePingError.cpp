#include "network/SimplePingError.h"

#include <QtGlobal>

namespace nerova {

SimplePingError::SimplePingError(Domain domain, int code, QString message)
    : domain_(domain), code_(code), message_(std::move(message))
{}

SimplePingError SimplePingError::posix(int code, const QString& context)
{
    QString message = qt_error_string(code);
    if (!context.isEmpty()) {
        message += QLatin1String(": ") + context;
    }
    return SimplePingError(Domain::posix, code, message);
}

QString SimplePingError::description() const
{
    const QString name = domain_ == Domain::hostResolution ? QStringLiteral("hostResolution") : QStringLiteral("posix");
    const QString quoted = describeCase(QString(), message_); // ("message") with escapes
    return name + u'(' + QString::number(code_) + QLatin1String(", ") + quoted.mid(1);
}

} // namespace nerova
