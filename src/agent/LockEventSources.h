#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace nerova {

// A registration with one of the session's sources of lock or activity events. The source calls
// its handler on the main thread while the registration lives; destroying it unregisters.
class EventRegistration {
public:
    virtual ~EventRegistration() = default;
};

// Where the lock monitor's events come from: the session's lock and unlock signals, and a
// system-wide signal for each released left mouse button (or its closest equivalent). The system
// implementation listens on D-Bus and X11; tests supply their own.
class LockEventSources {
public:
    using Handler = std::function<void()>;
    virtual ~LockEventSources() = default;

    // Registers `locked` and `unlocked` with every lock signal of the session that can be reached.
    virtual std::vector<std::unique_ptr<EventRegistration>> addLockObservers(Handler locked, Handler unlocked) = 0;

    // Installs the global click monitor; nothing, with `whyNot` set, when none can be installed.
    virtual std::unique_ptr<EventRegistration> addGlobalClickMonitor(Handler clicked, QString& whyNot) = 0;
};

// The sources of this session.
std::unique_ptr<LockEventSources> makeSystemLockEventSources();

} // namespace nerova
