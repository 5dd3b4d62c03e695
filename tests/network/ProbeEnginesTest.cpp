// The probes' engines. The ICMP echo engine's packets, and the engine and the pinger over stand-in
// ICMP sockets whose replies travel through a real socket pair, so that the engine's receive path
// runs as on a real socket; the TCP connection probe against servers on loopback.
#include "common/Error.h"
#include "network/AsyncConnection.h"
#include "network/IcmpPacket.h"
#include "network/PingError.h"
#include "network/SimplePinger.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

using namespace nerova;
using Verdict = icmp::ReplyCheck::Verdict;

namespace {

constexpr quint16 kernelIdentifier = 1234;

// Of a ping to 127.0.0.1: "reply" (a time within the timeout) or the error's description; waitFor() cannot carry
// exceptions.
QCoro::Task<QString> pingOutcome(SimplePinger& pinger, double timeout)
{
    try {
        const double seconds = co_await pinger.ping(QStringLiteral("127.0.0.1"), timeout);
        co_return seconds >= 0 && seconds < timeout ? QStringLiteral("reply") : QStringLiteral("odd time");
    } catch (const PingError& error) {
        co_return error.description();
    }
}

QByteArray checksumBytes(QByteArrayView data)
{
    const quint16 checksum = icmp::internetChecksum(data);
    return QByteArray(reinterpret_cast<const char*>(&checksum), 2);
}

// An echo message with the default payload and a correct checksum, also over a changed `code`.
QByteArray echoMessage(quint8 type, quint16 identifier, quint16 sequenceNumber, quint8 code = 0)
{
    QByteArray message =
        icmp::pingPacket(type, identifier, sequenceNumber, icmp::defaultPayload(sequenceNumber), false);
    message[1] = char(code);
    return message.replace(2, 2, checksumBytes(message));
}

// An IPv4 datagram around `message` with a header of `headerLength` 32-bit words.
QByteArray ipv4Datagram(const QByteArray& message, int headerLength = 5, quint8 version = 4, quint8 protocol = 1)
{
    QByteArray header(headerLength * 4, '\0');
    header[0] = char((version << 4) | headerLength);
    header[9] = char(protocol);
    return header + message;
}

// The echo reply to an IPv4 `request` as the system would deliver it.
QByteArray replyTo(const QByteArray& request, IcmpSocketKind kind, quint16 identifier)
{
    const QByteArray reply =
        icmp::pingPacket(icmp::echoReplyV4, identifier, qFromBigEndian<quint16>(request.constData() + 6),
                         request.mid(icmp::headerSize), true);
    return kind == IcmpSocketKind::datagram ? reply : ipv4Datagram(reply); // raw sockets deliver the IP header too
}

// One socket at a time, as the engine uses them: a socket pair whose far end sends the replies.
class FakeIcmpSockets final : public IcmpSocketApi {
public:
    QList<IcmpSocketKind> refused;
    QString peer; // what answers each request, in order: reply, other (identifier), empty

    int open(QAbstractSocket::NetworkLayerProtocol, IcmpSocketKind kind) override
    {
        if (refused.contains(kind)) {
            return kind == IcmpSocketKind::raw ? -EPERM : -EACCES;
        }
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
            return -errno;
        }
        descriptor_ = pair[0];
        peer_ = pair[1];
        kind_ = kind;
        return descriptor_;
    }
    int connect(int, const QHostAddress&) override { return 0; }
    std::optional<quint16> localIdentifier(int) override { return kernelIdentifier; }
    qint64 send(int, QByteArrayView packet) override
    {
        // On a datagram socket the system replaces our identifier with its own.
        const QByteArray request = packet.toByteArray();
        const quint16 ours =
            kind_ == IcmpSocketKind::datagram ? kernelIdentifier : qFromBigEndian<quint16>(request.constData() + 4);
        for (const QString& datagram : peer.split(u' ', Qt::SkipEmptyParts)) {
            const QByteArray reply = datagram == u"reply"   ? replyTo(request, kind_, ours)
                                     : datagram == u"other" ? replyTo(request, kind_, quint16(ours + 1))
                                                            : QByteArray();
            ::send(peer_, reply.constData(), size_t(reply.size()), 0);
        }
        return packet.size();
    }
    qint64 receive(int descriptor, QByteArray& buffer) override
    {
        buffer.resize(65535);
        const ssize_t received = ::recv(descriptor, buffer.data(), size_t(buffer.size()), 0);
        buffer.resize(std::max<ssize_t>(received, 0));
        return received < 0 ? -errno : received;
    }
    void close(int) override
    {
        ::close(descriptor_);
        ::close(peer_);
        descriptor_ = peer_ = -1;
    }
    QString refusalReason() override { return QStringLiteral("not allowed in this test"); }

    bool allClosed() const { return descriptor_ < 0; }

private:
    int descriptor_ = -1;
    int peer_ = -1;
    IcmpSocketKind kind_ = IcmpSocketKind::datagram;
};

// Treats every connection to `server` the same way.
void serve(QTcpServer& server, const QString& behaviour)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, behaviour] {
        while (QTcpSocket* peer = server.nextPendingConnection()) {
            if (behaviour == u"5000 bytes") {
                peer->write(QByteArray(5000, 'x'));
                peer->flush();
            } else if (behaviour == u"late banner") {
                QTimer::singleShot(3000, peer, [peer] { peer->write("late\r\n"); });
            } else if (behaviour == u"close") {
                peer->disconnectFromHost();
            } else if (behaviour == u"reset later") {
                QTimer::singleShot(200, peer, [peer] {
                    const linger abortive{1, 0};
                    ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                    peer->close();
                });
            }
        }
    });
}

// The chunks joined, and how the stream ended: "normal" or the error's description.
QCoro::Task<std::pair<QByteArray, QString>> drain(std::shared_ptr<Channel<QByteArray>> stream)
{
    QByteArray chunks;
    try {
        while (const auto chunk = co_await stream->receive()) {
            chunks += *chunk + '|';
        }
        co_return std::pair(chunks, QStringLiteral("normal"));
    } catch (const std::exception& error) {
        co_return std::pair(chunks, describeException(error));
    }
}

} // namespace

class ProbeEnginesTest : public QObject {
    Q_OBJECT

private slots:
    // Worked by hand in a little-endian machine's words, stored as they are (fdfb as fb fd). The rest
    // of the checksum the kernel checks on every request that the probes test's raw pings
    // (socketKinds) send: it drops one whose checksum is wrong.
    void checksum()
    {
        const std::pair<const char*, const char*> rows[] = {
            {"010203", "fbfd"},     // an odd length pads its last byte: 0201 + 0003 = 0204, ~ fdfb
            {"ffffffff01", "feff"}, // ffff + ffff + 0001 = 1ffff; ffff + 1 carries again: 0001, ~ fffe
        };
        for (const auto& [data, expected] : rows) {
            QVERIFY2(checksumBytes(QByteArray::fromHex(data)) == QByteArray::fromHex(expected), data);
        }
    }

    void icmpHeaderOffset()
    {
        const QByteArray message = echoMessage(icmp::echoReplyV4, 1, 0);
        const std::pair<QByteArray, int> rows[] = {
            {ipv4Datagram(message.left(8)), 20},      // a bare ICMP header fits
            {ipv4Datagram(message.left(7)), -1},      // 27 bytes
            {ipv4Datagram(message, 15).left(64), -1}, // ICMP header cut off after the options
            {ipv4Datagram(message, 5, 6), -1},        // version 6
            {ipv4Datagram(message, 5, 4, 17), -1},    // UDP
        };
        for (const auto& [packet, offset] : rows) {
            const auto found = icmp::icmpHeaderOffsetInIPv4Packet(packet);
            QCOMPARE(found ? int(*found) : -1, offset);
        }
    }

    // A reply's sequence number is accepted when it was sent: below the next number, or after
    // the numbers wrapped, within the 120 before it.
    void sequenceNumbers()
    {
        const struct {
            quint16 received, next;
            bool wrapped, accepted;
        } rows[] = {
            {0, 1, false, true},    {5, 5, false, false},    {5, 5, true, true},
            {65422, 5, true, true}, {65421, 5, true, false}, {6, 5, true, false},
        };
        for (const auto& row : rows) {
            QVERIFY2(icmp::validateSequenceNumber(row.received, row.next, row.wrapped) == row.accepted,
                     qPrintable(QStringLiteral("%1 before %2").arg(row.received).arg(row.next)));
        }
    }

    // Replies to identifier 0x4242, sequence number 3, with numbers below 10 sent. A valid IPv4 reply
    // loses its IP header; anything else stays as received, for the unexpected-packet report.
    void replies()
    {
        const QByteArray reply = echoMessage(icmp::echoReplyV4, 0x4242, 3);
        QByteArray badChecksum = reply;
        badChecksum[20] = 'X';
        const struct {
            const char* name;
            QByteArray packet;
            bool withIPv4Header, valid;
        } rows[] = {
            {"raw, 24-byte header", ipv4Datagram(reply, 6), true, true},
            {"bad checksum", ipv4Datagram(badChecksum), true, false},
            {"our own request", ipv4Datagram(echoMessage(icmp::echoRequestV4, 0x4242, 3)), true, false},
            {"code 1", echoMessage(icmp::echoReplyV4, 0x4242, 3, 1), false, false},
            {"sequence not sent", echoMessage(icmp::echoReplyV4, 0x4242, 10), false, false},
            {"datagram shorter than a header", reply.left(7), false, false},
            {"header expected but missing", reply, true, false},
        };
        const icmp::ReplyExpectation expected{0x4242, 10, false};
        for (const auto& [name, packet, withIPv4Header, valid] : rows) {
            QByteArray message = packet;
            const icmp::ReplyCheck check = icmp::validatePing4ResponsePacket(message, expected, withIPv4Header);
            QVERIFY2(check.verdict == (valid ? Verdict::valid : Verdict::invalid), name);
            QVERIFY2(!valid || check.sequenceNumber == 3, name);
            QVERIFY2(message == (valid ? packet.mid(packet.size() - 64) : packet), name);
        }
        const QByteArray ipv6 = icmp::pingPacket(icmp::echoReplyV6, 0x4242, 3, "", false).left(7);
        QVERIFY2(icmp::validatePing6ResponsePacket(ipv6, expected).verdict == Verdict::invalid, "IPv6 7 bytes");
    }

    void pings()
    {
        using Kinds = QList<IcmpSocketKind>;
        const struct {
            const char *name, *peer, *expected;
            Kinds refused;
        } rows[] = {
            {"datagram: reply to another identifier", "other", "unexpectedPacket", {}},
            {"raw: ours after another's", "other reply", "reply", {IcmpSocketKind::datagram}},
            {"empty datagram", "empty", "failed(posix(32, \"Broken pipe\"))", {}},
            {"neither socket kind allowed",
             "reply",
             "failed(posix(1, \"Operation not permitted: not allowed in this test\"))",
             {IcmpSocketKind::datagram, IcmpSocketKind::raw}},
        };
        for (const auto& [name, peer, expected, refused] : rows) {
            const auto sockets = std::make_shared<FakeIcmpSockets>();
            sockets->refused = refused;
            sockets->peer = QString::fromLatin1(peer);
            SimplePinger pinger(sockets);
            const QString result = QCoro::waitFor(pingOutcome(pinger, 30));
            QVERIFY2(result.startsWith(QLatin1String(expected)), qPrintable(name + (": " + result)));
            QVERIFY(pinger.isIdle());
            QTRY_VERIFY(sockets->allClosed());
        }
    }

    // A second call is refused at once and leaves the running ping's timeout alone; the pinger
    // is reusable afterwards.
    void secondPingWhileBusy()
    {
        const auto sockets = std::make_shared<FakeIcmpSockets>(); // silent at first
        SimplePinger pinger(sockets);
        QElapsedTimer clock;
        clock.start();
        auto first = pingOutcome(pinger, 0.3);
        auto second = pingOutcome(pinger, 30);
        QVERIFY(second.isReady());
        QCOMPARE(QCoro::waitFor(second), QStringLiteral("alreadyPinging"));
        QCOMPARE(QCoro::waitFor(first), QStringLiteral("timedOut"));
        // A coarse bound, far below the refused call's 30 s.
        QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
        sockets->peer = QStringLiteral("reply");
        QCOMPARE(QCoro::waitFor(pingOutcome(pinger, 30)), QStringLiteral("reply"));
    }

    // A stream ends by the window, which a chunk does not shorten, or by an error.
    void connections()
    {
        const struct {
            const char *name, *server;
            QByteArray chunks; // each followed by "|"
            const char* end;   // "normal", or the end of the error's description
        } rows[] = {
            {"5000 bytes at once", "5000 bytes", QByteArray(1024, 'x') + '|', "normal"},
            {"banner after the window", "late banner", {}, "normal"},
            {"orderly close without data", "close", {}, "normal"},
            {"reset after accept", "reset later", {}, "readFailed(\"Connection reset by peer\")"},
            {"port 0", "port 0", {}, "invalidPort(\"0\")"},
        };
        for (const auto& [name, server, chunks, end] : rows) {
            QTcpServer listener;
            serve(listener, QString::fromLatin1(server));
            QVERIFY(listener.listen(QHostAddress::LocalHost));
            const auto stream = std::make_shared<Channel<QByteArray>>();
            QElapsedTimer clock;
            clock.start();
            const quint16 port = qstrcmp(server, "port 0") == 0 ? 0 : listener.serverPort();
            AsyncConnection(QStringLiteral("127.0.0.1"), port).connect(stream); // the probe runs on without it
            const auto [received, ended] = QCoro::waitFor(drain(stream));
            QVERIFY2(received == chunks && ended.endsWith(QLatin1String(end)), qPrintable(name + (": " + ended)));
            // Coarse timers allow some slack.
            QVERIFY2(ended != u"normal" || (clock.elapsed() >= 1500 && clock.elapsed() < 15000), name);
        }
    }
};

QTEST_GUILESS_MAIN(ProbeEnginesTest)
#include "ProbeEnginesTest.moc"
