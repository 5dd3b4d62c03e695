#include "network/NetworkReader.h"

#include <algorithm>

namespace nerova {

std::vector<NetworkAddress> filterInterfaceAddresses(std::vector<NetworkAddress> addresses)
{
    std::erase_if(addresses, [](const NetworkAddress& address) {
        return std::any_of(filterPrefixes.begin(), filterPrefixes.end(),
                           [&](QStringView prefix) { return address.address.startsWith(prefix); });
    });
    return addresses;
}

std::vector<NetworkAddress> readInterfaceAddresses(const NetworkReader& reader)
{
    return filterInterfaceAddresses(reader.readAllAddresses());
}

QString formatHardwareAddress(const unsigned char* bytes, int length)
{
    static constexpr char digits[] = "0123456789abcdef";
    QString text;
    text.reserve(length * 3);
    for (int i = 0; i < length; ++i) {
        if (i > 0) {
            text += u':';
        }
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0f]);
    }
    return text;
}

} // namespace nerova
