#pragma once

#include "agent/LockEventSources.h"

#include <QDBusConnection>

#include <optional>

namespace nerova {

// The object path of this process's logind session: the session of our process id, else the
// one named by XDG_SESSION_ID. Nothing, with `whyNot` set, when logind knows no such session.
std::optional<QString> findLogindSession(QDBusConnection systemBus, QString& whyNot);

// The session's LockedHint (true: locked, false: unlocked) and its Lock and Unlock signals.
std::unique_ptr<EventRegistration> watchLogindLock(QDBusConnection systemBus, const QString& sessionPath,
                                                   LockEventSources::Handler locked,
                                                   LockEventSources::Handler unlocked);

// ActiveChanged of org.freedesktop.ScreenSaver and org.gnome.ScreenSaver on the session bus.
std::unique_ptr<EventRegistration> watchScreenSaver(QDBusConnection sessionBus, LockEventSources::Handler locked,
                                                    LockEventSources::Handler unlocked);

// The first user activity after idleness, from the compositor's idle monitor on the session bus.
// Nothing, with `whyNot` set, when the session has no such monitor.
std::unique_ptr<EventRegistration> watchMutterUserActive(QDBusConnection sessionBus, LockEventSources::Handler active,
                                                         QString& whyNot);

// The falling edge of the session's IdleHint.
std::unique_ptr<EventRegistration> watchLogindIdleEnd(QDBusConnection systemBus, const QString& sessionPath,
                                                      LockEventSources::Handler active);

// Raw releases of the left mouse button anywhere on the X display named by DISPLAY. Nothing, with
// `whyNot` set, when there is no display or it lacks XInput 2.
std::unique_ptr<EventRegistration> watchX11Clicks(LockEventSources::Handler clicked, QString& whyNot);

} // namespace nerova
