#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

namespace nerova {

// The Qt platform plugin the desktop agent asks for in `environment`; empty leaves Qt's own choice.
// In a Wayland session that also offers an X server (Xwayland: DISPLAY is set) it is "xcb;wayland".
// Qt 6.4 on Wayland draws window decorations only once its EGL buffer integration is up, and that
// loads the Mesa drivers (about 55 MB resident, most of it LLVM) for a window painted on the CPU;
// on the X server the compositor draws the frame and nothing of Mesa is loaded. Wayland stays the
// fallback when the X server does not answer. A platform the user chose (QT_QPA_PLATFORM) is kept.
QByteArray preferredQtPlatform(const QProcessEnvironment& environment);

// Sets QT_QPA_PLATFORM to the preferred platform, if any; call before the QApplication exists.
void choosePreferredQtPlatform();

} // namespace nerova
