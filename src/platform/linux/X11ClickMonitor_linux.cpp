#include "agent/LockMonitorLogging.h"
#include "platform/linux/SessionEventSources_linux.h"

#include <QSocketNotifier>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace nerova {

namespace {

// Called by Xlib instead of ending the process when the connection to the display breaks.
void connectionLost(Display*, void* lost) { *static_cast<bool*>(lost) = true; }

// Raw button-release events reach the root window for input to every client, like a global
// monitor. Only the left button (1) counts. The connection's descriptor is watched with a socket
// notifier, so the monitor costs nothing while no input arrives.
class X11ClickMonitor final : public EventRegistration {
public:
    X11ClickMonitor(Display* display, int opcode, LockEventSources::Handler clicked)
        : display_(display),
          opcode_(opcode),
          clicked_(std::move(clicked)),
          notifier_(ConnectionNumber(display), QSocketNotifier::Read)
    {
        XSetIOErrorExitHandler(display_, connectionLost, &lost_);
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readEvents(); });
        readEvents(); // events that arrived while selecting wait in Xlib's queue already
    }

    ~X11ClickMonitor() override
    {
        notifier_.setEnabled(false);
        XCloseDisplay(display_);
    }

private:
    void readEvents()
    {
        while (!lost_ && XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(display_, cookie)) {
                continue;
            }
            const bool leftRelease =
                cookie->evtype == XI_RawButtonRelease && static_cast<const XIRawEvent*>(cookie->data)->detail == 1;
            XFreeEventData(display_, cookie);
            if (leftRelease) {
                clicked_();
            }
        }
        if (lost_ && notifier_.isEnabled()) {
            notifier_.setEnabled(false);
            qCWarning(lcLockMonitor, "The X display closed the connection, clicks are no longer seen");
        }
    }

    Display* display_;
    int opcode_;
    LockEventSources::Handler clicked_;
    QSocketNotifier notifier_;
    bool lost_ = false;
};

} // namespace

std::unique_ptr<EventRegistration> watchX11Clicks(LockEventSources::Handler clicked, QString& whyNot)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        whyNot = QStringLiteral("no X display (DISPLAY is not set)");
        return nullptr;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        whyNot = QStringLiteral("cannot open the X display %1").arg(qEnvironmentVariable("DISPLAY"));
        return nullptr;
    }
    // Without these, Xlib ends the whole process when the display goes away. The process-wide
    // handler only stops Xlib's own exit; other displays keep their default exit handler.
    XSetIOErrorHandler([](Display*) { return 0; });
    bool lost = false;
    XSetIOErrorExitHandler(display, connectionLost, &lost);
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    int major = 2;
    int minor = 0;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        XCloseDisplay(display);
        whyNot = QStringLiteral("the X display has no XInput 2 extension");
        return nullptr;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawButtonRelease);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XSync(display, False);
    if (lost) {
        XCloseDisplay(display);
        whyNot = QStringLiteral("the X display closed the connection");
        return nullptr;
    }
    return std::make_unique<X11ClickMonitor>(display, opcode, std::move(clicked));
}

} // namespace nerova
