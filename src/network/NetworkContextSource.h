#pragma once

#include "common/Channel.h"
#include "network/NetworkContext.h"

namespace nerova {

// What the agent needs of the network monitor: the endless stream of network snapshots and a way
// to ask for a fresh one. The network monitor implements it; scenario tests of the agent use a
// stand-in that sends contexts directly.
class NetworkContextSource {
public:
    virtual ~NetworkContextSource() = default;

    // The monitor's output: one complete context per refresh, never merged or dropped. One consumer.
    virtual Channel<NetworkContext>& networkContextSequence() = 0;

    // Asks for a fresh context: it follows after the quiet period, like after a change of the
    // network.
    virtual void sendInterfaceChange() = 0;
};

} // namespace nerova
