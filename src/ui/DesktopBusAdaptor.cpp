#include "ui/DesktopBusAdaptor.h"

namespace nerova {

DesktopBusAdaptor::DesktopBusAdaptor(QObject& exported, std::function<void()> showWindow)
    : QDBusAbstractAdaptor(&exported), showWindow_(std::move(showWindow))
{}

void DesktopBusAdaptor::ShowWindow() { showWindow_(); }

} // namespace nerova
