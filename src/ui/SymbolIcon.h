#pragma once

#include <QIcon>
#include <QString>

namespace nerova {

// The freedesktop icon name that stands for a symbol name of the views ("key", "globe", ...);
// empty for an unknown symbol.
QString freedesktopIconName(const QString& symbol);

// The icon of the desktop's theme for `symbol`, or the bundled drawing when the theme has none.
QIcon symbolIcon(const QString& symbol);

// The tray icon: the application's monochrome mark, or its variant while no location is determined.
QIcon trayIcon(bool locationDetermined);

} // namespace nerova
