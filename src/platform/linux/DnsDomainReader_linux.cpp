#include "platform/linux/DnsDomainReader_linux.h"

namespace nerova {

DnsDomainReader::DnsDomainReader(QDBusConnection bus, QString resolvConf)
    : bus_(std::move(bus)), resolvConf_(std::move(resolvConf))
{}

QCoro::Task<std::vector<QString>> DnsDomainReader::read() const { co_return std::vector<QString>{}; }

} // namespace nerova
