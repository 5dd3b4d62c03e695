#include "ui/SymbolIcon.h"

#include <QHash>

// The drawings live in this static library's resources, which the linker does not register alone.
static void registerBundledIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(ui);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace nerova {

namespace {

const QHash<QString, QString>& iconNames()
{
    static const QHash<QString, QString> names{
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("dialog-warning")},
        {QStringLiteral("person.fill"), QStringLiteral("avatar-default")},
        {QStringLiteral("location.slash.fill"), QStringLiteral("location-services-disabled")},
        {QStringLiteral("location.fill"), QStringLiteral("location-services-active")},
        {QStringLiteral("key"), QStringLiteral("dialog-password")},
        {QStringLiteral("cable.connector"), QStringLiteral("network-wired")},
        {QStringLiteral("globe"), QStringLiteral("applications-internet")},
        {QStringLiteral("list.number"), QStringLiteral("view-list-details")},
        {QStringLiteral("macmini"), QStringLiteral("computer")},
        {QStringLiteral("macbook"), QStringLiteral("computer-laptop")},
        {QStringLiteral("desktopcomputer"), QStringLiteral("computer")},
        {QStringLiteral("checklist"), QStringLiteral("system-search")},
    };
    return names;
}

} // namespace

QString freedesktopIconName(const QString& symbol) { return iconNames().value(symbol); }

QIcon symbolIcon(const QString& symbol)
{
    registerBundledIcons();
    const QIcon bundled(QStringLiteral(":/nerova/symbols/%1.svg").arg(symbol));
    const QString name = freedesktopIconName(symbol);
    return name.isEmpty() ? bundled : QIcon::fromTheme(name, bundled);
}

QIcon trayIcon(bool locationDetermined)
{
    registerBundledIcons();
    // Our own drawing, not the theme's: a dark mark in a light halo reads on light and dark panels.
    return QIcon(locationDetermined ? QStringLiteral(":/nerova/symbols/tray-located.svg")
                                    : QStringLiteral(":/nerova/symbols/tray-no-location.svg"));
}

} // namespace nerova
