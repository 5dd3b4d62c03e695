#include "network/SimplePing.h"

#include "network/HostLookup.h"
#include "network/IcmpPacket.h"
#include "network/SimplePingDelegate.h"
#include "network/SimplePingError.h"

#include <QRandomGenerator>

#include <cerrno>

namespace nerova {

namespace {

bool isRefusal(int negativeErrno) { return negativeErrno == -EACCES || negativeErrno == -EPERM; }

} // namespace

SimplePing::SimplePing(QString hostName, std::shared_ptr<IcmpSocketApi> sockets)
    : hostName_(std::move(hostName)),
      sockets_(std::move(sockets)),
      identifier_(quint16(QRandomGenerator::global()->generate()))
{}

SimplePing::~SimplePing() { stop(); }

QAbstractSocket::NetworkLayerProtocol SimplePing::hostAddressFamily() const
{
    return hostAddress_ ? hostAddress_->protocol() : QAbstractSocket::UnknownNetworkLayerProtocol;
}

void SimplePing::start()
{
    if (lookupId_ >= 0 || hostAddress_) {
        return;
    }
    // Results are always delivered from the event loop, never from inside lookupHost.
    lookupId_ = lookupHost(hostName_, this, [this](const QHostInfo& info) {
        if (lookupId_ < 0) {
            return; // stopped meanwhile
        }
        lookupId_ = -1;
        if (info.error() != QHostInfo::NoError) {
            didFailWithError(SimplePingError(SimplePingError::Domain::hostResolution, SimplePingError::resolutionFailed,
                                             QStringLiteral("cannot resolve \"%1\": %2 (resolver error %3)")
                                                 .arg(hostName_, info.errorString())
                                                 .arg(int(info.error()))));
            return;
        }
        hostResolutionDone(info);
    });
}

void SimplePing::hostResolutionDone(const QHostInfo& info)
{
    for (const QHostAddress& address : info.addresses()) {
        const auto protocol = address.protocol();
        if (protocol == QAbstractSocket::IPv4Protocol || protocol == QAbstractSocket::IPv6Protocol) {
            hostAddress_ = address;
            break;
        }
    }
    stopHostResolution();
    if (!hostAddress_) {
        didFailWithError(SimplePingError(SimplePingError::Domain::hostResolution, SimplePingError::hostNotFound,
                                         QStringLiteral("no acceptable address for \"%1\"").arg(hostName_)));
        return;
    }
    startWithHostAddress();
}

void SimplePing::startWithHostAddress()
{
    const auto family = hostAddressFamily();
    if (family != QAbstractSocket::IPv4Protocol && family != QAbstractSocket::IPv6Protocol) {
        didFailWithError(SimplePingError::posix(EPROTONOSUPPORT));
        return;
    }
    int descriptor = sockets_->open(family, IcmpSocketKind::datagram);
    socketKind_ = IcmpSocketKind::datagram;
    if (isRefusal(descriptor)) {
        descriptor = sockets_->open(family, IcmpSocketKind::raw);
        socketKind_ = IcmpSocketKind::raw;
        if (isRefusal(descriptor)) {
            didFailWithError(SimplePingError::posix(-descriptor, sockets_->refusalReason()));
            return;
        }
    }
    if (descriptor < 0) {
        didFailWithError(SimplePingError::posix(-descriptor));
        return;
    }
    socket_ = descriptor;
    notifier_ = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readData(); });
    if (delegate_) {
        delegate_->didStartWithAddress(*this, *hostAddress_);
    }
}

void SimplePing::sendPing(const std::optional<QByteArray>& payload)
{
    const quint16 sequenceNumber = nextSequenceNumber_;
    std::optional<SimplePingError> failure;
    if (socket_ < 0) {
        failure = SimplePingError::posix(EBADF);
    } else if (!connected_) {
        // Connected on first use: the socket then only sees this host's traffic, and a datagram
        // socket learns the identifier that the system will put into our requests.
        if (const int result = sockets_->connect(socket_, *hostAddress_); result < 0) {
            failure = SimplePingError::posix(-result);
        } else {
            connected_ = true;
            if (socketKind_ == IcmpSocketKind::datagram) {
                identifier_ = sockets_->localIdentifier(socket_).value_or(identifier_);
            }
        }
    }
    const bool ipv6 = hostAddressFamily() == QAbstractSocket::IPv6Protocol;
    const QByteArray packet = icmp::pingPacket(
        ipv6 ? icmp::echoRequestV6 : icmp::echoRequestV4, identifier_, sequenceNumber,
        payload ? QByteArrayView(*payload) : QByteArrayView(icmp::defaultPayload(sequenceNumber)), !ipv6);
    if (!failure) {
        const qint64 sent = sockets_->send(socket_, packet);
        if (sent != packet.size()) {
            failure = SimplePingError::posix(sent < 0 ? int(-sent) : ENOBUFS);
        }
    }
    // Counted before the delegate hears of it, so that a request sent from inside the delegate
    // call gets the next number.
    ++nextSequenceNumber_;
    if (nextSequenceNumber_ == 0) {
        nextSequenceNumberHasWrapped_ = true;
    }
    if (!delegate_) {
        return;
    }
    if (failure) {
        delegate_->didFailToSendPacket(*this, packet, sequenceNumber, *failure);
    } else {
        delegate_->didSendPacket(*this, packet, sequenceNumber);
    }
}

void SimplePing::readData()
{
    QByteArray packet;
    const qint64 received = sockets_->receive(socket_, packet);
    if (received == -EAGAIN || received == -EWOULDBLOCK || received == -EINTR) {
        return;
    }
    if (received <= 0) {
        didFailWithError(SimplePingError::posix(received < 0 ? int(-received) : EPIPE));
        return;
    }
    const icmp::ReplyExpectation expected{identifier_, nextSequenceNumber_, nextSequenceNumberHasWrapped_};
    const bool raw = socketKind_ == IcmpSocketKind::raw;
    QByteArray message = packet;
    const icmp::ReplyCheck check = hostAddressFamily() == QAbstractSocket::IPv4Protocol
                                       ? icmp::validatePing4ResponsePacket(message, expected, raw)
                                       : icmp::validatePing6ResponsePacket(message, expected);
    if (check.verdict == icmp::ReplyCheck::Verdict::otherIdentifier && raw) {
        return; // another socket's reply, which a raw socket sees too
    }
    if (!delegate_) {
        return;
    }
    if (check.verdict == icmp::ReplyCheck::Verdict::valid) {
        delegate_->didReceivePingResponsePacket(*this, message, check.sequenceNumber);
    } else {
        delegate_->didReceiveUnexpectedPacket(*this, packet);
    }
}

void SimplePing::didFailWithError(const SimplePingError& error)
{
    stop();
    if (delegate_) {
        delegate_->didFailWithError(*this, error);
    }
}

void SimplePing::stop()
{
    stopHostResolution();
    stopSocket();
    hostAddress_.reset();
}

void SimplePing::stopHostResolution()
{
    if (lookupId_ >= 0) {
        abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
}

void SimplePing::stopSocket()
{
    if (notifier_) {
        // stop() may run inside the notifier's own signal: let the event loop delete it.
        notifier_->setEnabled(false);
        notifier_->disconnect(this);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (socket_ >= 0) {
        sockets_->close(socket_);
        socket_ = -1;
    }
    connected_ = false; // a restarted engine must connect its new socket
}

} // namespace nerova
