#pragma once

#include "network/NetworkChangeSource.h"
#include "network/NetworkContext.h"

#include <QByteArrayView>
#include <QString>

#include <memory>
#include <vector>

namespace nerova {

// The displays (their EDID under class/drm/*/edid) and USB devices (bus/usb/devices, hubs left
// out) below `sysfsRoot`, normally "/sys". Reading is a few small files of a memory file system.
// The list is sorted by kind and id; a device seen twice (a mirrored monitor on two connectors,
// two identical keyboards without serial numbers) is listed once.
class PeripheralReader {
public:
    explicit PeripheralReader(QString sysfsRoot);

    std::vector<Peripheral> read() const;

private:
    QString sysfsRoot_;
};

// Monitors and USB devices plugged in or out: udev events of the drm and usb subsystems, or the
// kernel's uevents where udevd does not run. Nothing when neither can be had (said once).
std::unique_ptr<NetworkChangeSource> makePeripheralChangeSource(NetworkChangeSource::Trigger trigger);

// Whether a kernel uevent message ("ACTION@DEVPATH\0KEY=VALUE\0...") tells of a monitor or USB
// device: an add, remove or change of the drm subsystem or of a USB device (not its interfaces).
bool isPeripheralUevent(QByteArrayView message);

} // namespace nerova
