#pragma once

#include "network/NetworkContext.h"
#include "rules/FingerprintFile.h"

namespace nerova {

// What a suggested fingerprint is called and where it points.
struct SuggestionTarget {
    QString fingerprintId;
    QString name;
    LocationPoint locationPoint;
};

// A fingerprint for the place where `context` was taken: one rule per kind of evidence found,
// strongest first. The first gateway with a hardware address; the first Wi-Fi network (SSID and
// access point); the first DNS domain; the network of each IPv4 address (its prefix, /24 when the
// snapshot has none), only of the interfaces with a default route when there are any (so that
// bridges of virtual machines and containers, found everywhere, are left out); the external
// address as a /32 range; and, for a place (a desk), each peripheral with a serial of its own. A
// rule that rests on a private-range address alone says so at the end of its name. No rule at all
// when the context holds none of this.
Fingerprint suggestFingerprint(const NetworkContext& context, const SuggestionTarget& target);

} // namespace nerova
