#pragma once

#include "network/IcmpSocketApi.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <optional>

namespace nerova {

class SimplePingDelegate;
class SimplePingError;

// Event-driven ICMP echo engine for one host, running on the main thread's event loop: it
// resolves the host name, opens an ICMP socket, sends echo requests and checks the replies,
// reporting every event to its delegate.
//
// It prefers unprivileged datagram sockets and falls back to raw sockets when the system
// refuses those. Datagram sockets deliver the ICMP message without the IPv4 header and put the
// socket's own identifier into every request, so the engine adopts that identifier once the
// socket is connected. Raw sockets see the replies of every ICMP socket of the host: replies
// carrying another identifier are left to their owners instead of being reported.
class SimplePing : public QObject {
public:
    explicit SimplePing(QString hostName, std::shared_ptr<IcmpSocketApi> sockets = systemIcmpSocketApi());
    ~SimplePing() override;

    // Not owned; the delegate must outlive the engine or be replaced first.
    void setDelegate(SimplePingDelegate* delegate) { delegate_ = delegate; }

    // Starts resolving the host name. Does nothing while a resolution runs or an address is set.
    void start();
    // Sends one echo request with `payload`, or with the default payload when none is given.
    void sendPing(const std::optional<QByteArray>& payload = std::nullopt);
    // Ends resolution and closes the socket. Safe at any time, also repeatedly.
    void stop();

private:
    QAbstractSocket::NetworkLayerProtocol hostAddressFamily() const;
    void hostResolutionDone(const QHostInfo& info);
    void startWithHostAddress();
    void readData();
    void didFailWithError(const SimplePingError& error);
    void stopHostResolution();
    void stopSocket();

    QString hostName_;
    std::shared_ptr<IcmpSocketApi> sockets_;
    SimplePingDelegate* delegate_ = nullptr;
    std::optional<QHostAddress> hostAddress_; // the resolved target; set by resolution, cleared by stop()
    quint16 identifier_;
    quint16 nextSequenceNumber_ = 0;
    bool nextSequenceNumberHasWrapped_ = false;
    bool connected_ = false; // whether the open socket has been connected to the host (on the first send)
    int lookupId_ = -1;      // the pending host lookup, if any
    int socket_ = -1;
    IcmpSocketKind socketKind_ = IcmpSocketKind::datagram;
    QSocketNotifier* notifier_ = nullptr; // a child of the engine
};

} // namespace nerova
