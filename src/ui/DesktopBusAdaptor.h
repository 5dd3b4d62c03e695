#pragma once

#include <QDBusAbstractAdaptor>

#include <functional>

namespace nerova {

// Where a second launch asks the running desktop agent to show its window.
namespace desktopbus {
inline constexpr const char* interfaceName = "app.nerova.NerovaAgent1.Desktop";
}

// The desktop side of the running agent on the session bus, beside the agent's own interface on
// the same object: ShowWindow brings the status window up.
class DesktopBusAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.nerova.NerovaAgent1.Desktop")
    Q_CLASSINFO("D-Bus Introspection", "<interface name=\"app.nerova.NerovaAgent1.Desktop\">"
                                       "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The desktop side "
                                       "of the running Nerova Agent: its status window.\"/>"
                                       "<method name=\"ShowWindow\">"
                                       "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Shows the status "
                                       "window and brings it to the front.\"/>"
                                       "</method>"
                                       "</interface>")

public:
    // Becomes a child of `exported`, the object registered on the bus.
    DesktopBusAdaptor(QObject& exported, std::function<void()> showWindow);

public slots:
    void ShowWindow();

private:
    std::function<void()> showWindow_;
};

} // namespace nerova
