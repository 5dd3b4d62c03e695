#include "platform/linux/WirelessReader_linux.h"

namespace nerova {

WirelessReader::WirelessReader(QDBusConnection bus) : bus_(std::move(bus)) {}

QCoro::Task<std::vector<WirelessNetwork>> WirelessReader::read() const { co_return std::vector<WirelessNetwork>{}; }

std::unique_ptr<NetworkChangeSource> makeWirelessChangeSource(NetworkChangeSource::Trigger, QDBusConnection)
{
    return nullptr;
}

} // namespace nerova
