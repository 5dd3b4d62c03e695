#pragma once

#include "common/Json.h"
#include "network/NetworkContext.h"

#include <QByteArray>

namespace nerova {

// The JSON form of a network snapshot, keys named after the model's fields:
// {"externalIPv4": text or null,
//  "internalAddresses": [{"type": "IPv4" or "IPv6", "name", "address", "prefixLength" (when known)}],
//  "externalIPv6": text or null, "networkInterfaces": [{"name", "hardwareAddress"}],
//  "gateways": [{"name", "address": text or null, "hardwareAddress": text or null, "tunnel": bool}],
//  "wirelessNetworks": [{"name", "ssid", "bssid"}], "dnsDomains": [text],
//  "peripherals": [{"kind": "display" or "usb", "id", "name", "uniqueSerial": bool}]}
Json encodeNetworkContext(const NetworkContext& context);

// Decodes the form above strictly: "internalAddresses" and "networkInterfaces" are required; the
// external addresses may be missing or null; the evidence lists and "prefixLength" may be missing
// (snapshots saved by earlier versions), but inside an entry every key is required. Raises
// JsonDecodeError naming the offending key.
NetworkContext decodeNetworkContext(const QByteArray& json);

} // namespace nerova
