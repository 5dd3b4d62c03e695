// Feeds arbitrary bytes to the network snapshot decoder that the check command reads. Decoding
// must yield a snapshot or raise JsonDecodeError; a decoded snapshot, with its gateways, Wi-Fi
// networks, DNS domains and peripherals, must survive its JSON form, and its IPv4 addresses must
// read as the rules engine reads them: a 32-bit value or CIDRErrors.
#include "network/NetworkContextJson.h"
#include "rules/CIDRv4.h"

#include <cstdint>
#include <cstdlib>

namespace {

void readAddress(const QString& address)
{
    try {
        const qint64 value = nerova::CIDRv4::dottedQuadValue(address);
        if (value < 0 || value > 0xFFFF'FFFFLL) {
            std::abort();
        }
    } catch (const nerova::CIDRErrors& error) {
        (void)error.description();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const nerova::NetworkContext context = nerova::decodeNetworkContext(bytes);
        const std::string encoded = nerova::encodeNetworkContext(context).dump();
        const nerova::NetworkContext again = nerova::decodeNetworkContext(QByteArray::fromStdString(encoded));
        if (again.externalIPv4 != context.externalIPv4 || again.externalIPv6 != context.externalIPv6 ||
            again.internalAddresses != context.internalAddresses ||
            again.networkInterfaces != context.networkInterfaces || again.evidence != context.evidence) {
            std::abort();
        }
        if (context.externalIPv4) {
            readAddress(*context.externalIPv4);
        }
        for (const nerova::NetworkAddress& address : context.internalAddresses) {
            if (address.type == nerova::AddressType::IPv4) {
                readAddress(address.address);
            }
        }
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    return 0;
}
