#pragma once

#include <QByteArray>
#include <QHostAddress>

namespace nerova {

class SimplePing;
class SimplePingError;

// Receives the events of a SimplePing engine, on the main thread. Every method does nothing
// unless overridden. A delegate must not destroy the engine from inside one of these calls;
// it may stop it.
class SimplePingDelegate {
public:
    virtual ~SimplePingDelegate() = default;

    // The socket is open and watched; requests may be sent.
    virtual void didStartWithAddress(SimplePing& /*ping*/, const QHostAddress& /*address*/) {}
    // Resolution, socket set-up or receiving failed; the engine has stopped already.
    virtual void didFailWithError(SimplePing& /*ping*/, const SimplePingError& /*error*/) {}
    // A request went out whole.
    virtual void didSendPacket(SimplePing& /*ping*/, const QByteArray& /*packet*/, quint16 /*sequenceNumber*/) {}
    // A request did not go out whole; the engine keeps running.
    virtual void didFailToSendPacket(SimplePing& /*ping*/, const QByteArray& /*packet*/, quint16 /*sequenceNumber*/,
                                     const SimplePingError& /*error*/)
    {}
    // A valid echo reply arrived: the ICMP message, without any IP header.
    virtual void didReceivePingResponsePacket(SimplePing& /*ping*/, const QByteArray& /*packet*/,
                                              quint16 /*sequenceNumber*/)
    {}
    // Anything else arrived on the socket.
    virtual void didReceiveUnexpectedPacket(SimplePing& /*ping*/, const QByteArray& /*packet*/) {}
};

} // namespace nerova
