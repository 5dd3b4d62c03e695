#pragma once

#include "common/Json.h"
#include "network/NetworkContext.h"

#include <QByteArray>

namespace nerova {

// The JSON form of a network snapshot, keys named after the model's fields:
// {"externalIPv4": text or null, "internalAddresses": [{"type": "IPv4" or "IPv6", "name", "address"}],
//  "externalIPv6": text or null, "networkInterfaces": [{"name", "hardwareAddress"}]}
Json encodeNetworkContext(const NetworkContext& context);

// Decodes the form above strictly: both lists are required, the external addresses may be
// missing or null. Raises JsonDecodeError naming the offending key.
NetworkContext decodeNetworkContext(const QByteArray& json);

} // namespace nerova
