#include "platform/linux/PeripheralReader_linux.h"

namespace nerova {

PeripheralReader::PeripheralReader(QString sysfsRoot) : sysfsRoot_(std::move(sysfsRoot)) {}

std::vector<Peripheral> PeripheralReader::read() const { return {}; }

std::unique_ptr<NetworkChangeSource> makePeripheralChangeSource(NetworkChangeSource::Trigger) { return nullptr; }

} // namespace nerova
