#include "ui/PlatformChoice.h"

namespace nerova {

QByteArray preferredQtPlatform(const QProcessEnvironment& environment)
{
    const auto isSet = [&environment](const char* name) {
        return !environment.value(QString::fromLatin1(name)).isEmpty();
    };
    const bool waylandSession =
        isSet("WAYLAND_DISPLAY") || environment.value(QStringLiteral("XDG_SESSION_TYPE")) == u"wayland";
    if (isSet("QT_QPA_PLATFORM") || !waylandSession || !isSet("DISPLAY")) {
        return {};
    }
    return QByteArrayLiteral("xcb;wayland");
}

void choosePreferredQtPlatform()
{
    const QByteArray platform = preferredQtPlatform(QProcessEnvironment::systemEnvironment());
    if (!platform.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", platform);
    }
}

} // namespace nerova
