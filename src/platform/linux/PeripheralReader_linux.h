#pragma once

#include "network/NetworkChangeSource.h"
#include "network/NetworkContext.h"

#include <QString>

#include <memory>
#include <vector>

namespace nerova {

// The displays (their EDID under class/drm/*/edid) and USB devices (bus/usb/devices, hubs left
// out) below `sysfsRoot`, normally "/sys". Reading is a few small files of a memory file system.
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

} // namespace nerova
