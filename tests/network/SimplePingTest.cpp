// The echo engine and the pinger over stand-in ICMP sockets whose replies travel through a real
// socket pair, so that the engine's receive path runs as on a real socket.
#include "NetworkHarness.h"
#include "network/IcmpPacket.h"

#include <QElapsedTimer>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

using namespace nerova;

Q_DECLARE_METATYPE(IcmpSocketKind)

namespace {

constexpr quint16 kernelIdentifier = 1234;

// The echo reply to an IPv4 `request` as the system would deliver it.
QByteArray replyTo(const QByteArray& request, IcmpSocketKind kind, quint16 identifier)
{
    const QByteArray reply =
        icmp::pingPacket(icmp::echoReplyV4, identifier, qFromBigEndian<quint16>(request.constData() + 6),
                         request.mid(icmp::headerSize), true);
    // Raw sockets deliver the IP header too: version 4, 20 bytes, protocol ICMP.
    return kind == IcmpSocketKind::datagram
               ? reply
               : QByteArray::fromHex("45000000000000000001") + QByteArray(10, '\0') + reply;
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

} // namespace

class SimplePingTest : public QObject {
    Q_OBJECT

private slots:
    void pings_data()
    {
        QTest::addColumn<QList<IcmpSocketKind>>("refused");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("expected");

        const QList<IcmpSocketKind> none;
        const QList<IcmpSocketKind> datagram{IcmpSocketKind::datagram};
        const QList<IcmpSocketKind> both{IcmpSocketKind::datagram, IcmpSocketKind::raw};
        // clang-format off
        QTest::newRow("datagram: reply to another identifier") << none << "other" << "unexpectedPacket";
        QTest::newRow("raw: ours after another's") << datagram << "other reply" << "reply";
        QTest::newRow("empty datagram") << none << "empty" << "failed(posix(32, \"Broken pipe\"))";
        QTest::newRow("neither socket kind allowed") << both << "reply"
            << "failed(posix(1, \"Operation not permitted: not allowed in this test\"))";
        // clang-format on
    }

    void pings()
    {
        QFETCH(QList<IcmpSocketKind>, refused);
        QFETCH(QString, peer);
        QFETCH(QString, expected);
        const auto sockets = std::make_shared<FakeIcmpSockets>();
        sockets->refused = refused;
        sockets->peer = peer;
        SimplePinger pinger(sockets);
        const QString result = QCoro::waitFor(test::pingOutcome(pinger, QStringLiteral("127.0.0.1"), 30));
        QVERIFY2(result.startsWith(expected), qPrintable(result));
        QVERIFY(pinger.isIdle());
        QTRY_VERIFY(sockets->allClosed());
    }

    // A second call is refused at once and leaves the running ping's timeout alone; the pinger
    // is reusable afterwards.
    void secondPingWhileBusy()
    {
        const auto sockets = std::make_shared<FakeIcmpSockets>(); // silent at first
        SimplePinger pinger(sockets);
        QElapsedTimer clock;
        clock.start();
        auto first = test::pingOutcome(pinger, QStringLiteral("127.0.0.1"), 0.3);
        auto second = test::pingOutcome(pinger, QStringLiteral("127.0.0.1"), 30);
        QVERIFY(second.isReady());
        QCOMPARE(QCoro::waitFor(second), QStringLiteral("alreadyPinging"));
        QCOMPARE(QCoro::waitFor(first), QStringLiteral("timedOut"));
        // A coarse bound, far below the refused call's 30 s.
        QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
        sockets->peer = QStringLiteral("reply");
        QCOMPARE(QCoro::waitFor(test::pingOutcome(pinger, QStringLiteral("127.0.0.1"), 30)), QStringLiteral("reply"));
    }
};

QTEST_GUILESS_MAIN(SimplePingTest)
#include "SimplePingTest.moc"
