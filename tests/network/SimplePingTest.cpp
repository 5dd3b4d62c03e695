// The echo engine and the pinger over a stand-in for the system's ICMP sockets: the requests are
// recorded, and the replies travel through a real socket pair, so the engine's receive path runs
// as it does on a real socket.
#include "network/SimplePing.h"
#include "common/CaptureLogSink.h"
#include "network/IcmpPacket.h"
#include "network/PingError.h"
#include "network/SimplePingDelegate.h"
#include "network/SimplePingError.h"
#include "network/SimplePinger.h"

#include <QCoro/QCoroTask>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace nerova;

namespace {

constexpr quint16 kernelIdentifier = 1234;

class FakeIcmpSockets final : public IcmpSocketApi {
public:
    // The datagrams that answer one request.
    using Answer = std::function<QList<QByteArray>(const QByteArray& request, IcmpSocketKind kind)>;

    QList<IcmpSocketKind> refused;
    Answer answer;
    QList<IcmpSocketKind> opened;
    QList<QByteArray> requests;

    ~FakeIcmpSockets() override
    {
        for (const auto& [descriptor, peer] : peers_) {
            ::close(descriptor);
            ::close(peer);
        }
    }

    int open(QAbstractSocket::NetworkLayerProtocol, IcmpSocketKind kind) override
    {
        if (refused.contains(kind)) {
            return kind == IcmpSocketKind::raw ? -EPERM : -EACCES;
        }
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
            return -errno;
        }
        opened.append(kind);
        kinds_[pair[0]] = kind;
        peers_[pair[0]] = pair[1];
        return pair[0];
    }

    int connect(int descriptor, const QHostAddress&) override
    {
        connected_.insert(descriptor);
        return 0;
    }
    std::optional<quint16> localIdentifier(int) override { return kernelIdentifier; }

    qint64 send(int descriptor, QByteArrayView packet) override
    {
        if (!connected_.contains(descriptor)) {
            return -EDESTADDRREQ; // as an unconnected ICMP socket answers send()
        }
        const QByteArray request = packet.toByteArray();
        requests.append(request);
        const QList<QByteArray> replies = answer ? answer(request, kinds_[descriptor]) : QList<QByteArray>{};
        QTimer::singleShot(0, [this, descriptor, replies] {
            if (const auto peer = peers_.find(descriptor); peer != peers_.end()) {
                for (const QByteArray& reply : replies) {
                    ::send(peer->second, reply.constData(), size_t(reply.size()), 0);
                }
            }
        });
        return packet.size();
    }

    qint64 receive(int descriptor, QByteArray& buffer) override
    {
        buffer.resize(65535);
        const ssize_t received = ::recv(descriptor, buffer.data(), size_t(buffer.size()), 0);
        buffer.resize(std::max<ssize_t>(received, 0));
        return received < 0 ? -errno : received;
    }

    void close(int descriptor) override
    {
        ::close(descriptor);
        ::close(peers_[descriptor]);
        peers_.erase(descriptor);
        connected_.erase(descriptor);
    }

    QString refusalReason() override { return QStringLiteral("not allowed in this test"); }

    bool allClosed() const { return peers_.empty(); }

private:
    std::map<int, int> peers_;
    std::map<int, IcmpSocketKind> kinds_;
    std::set<int> connected_;
};

// The echo reply to `request` as the system would deliver it.
QByteArray replyTo(QByteArray request, IcmpSocketKind kind, quint16 identifier)
{
    const bool ipv6 = quint8(request[0]) == icmp::echoRequestV6;
    const quint16 sequenceNumber = qFromBigEndian<quint16>(request.constData() + 6);
    const QByteArray reply = icmp::pingPacket(ipv6 ? icmp::echoReplyV6 : icmp::echoReplyV4, identifier, sequenceNumber,
                                              request.mid(icmp::headerSize), !ipv6);
    if (ipv6 || kind == IcmpSocketKind::datagram) {
        return reply;
    }
    QByteArray header(20, '\0');
    header[0] = 0x45;
    header[9] = 1;
    return header + reply;
}

// "reply" or the error's description; waitFor() cannot carry exceptions.
QCoro::Task<QString> outcome(SimplePinger& pinger, QString host, double timeout)
{
    try {
        const double seconds = co_await pinger.ping(host, timeout);
        co_return seconds >= 0 ? QStringLiteral("reply") : QStringLiteral("negative time");
    } catch (const PingError& error) {
        co_return error.description();
    }
}

// Records every engine event as text.
class RecordingDelegate final : public SimplePingDelegate {
public:
    QStringList events;

    void didStartWithAddress(SimplePing&, const QHostAddress& address) override
    {
        events.append(QStringLiteral("start ") + address.toString());
    }
    void didFailWithError(SimplePing&, const SimplePingError& error) override
    {
        events.append(QStringLiteral("fail ") + error.description());
    }
    void didSendPacket(SimplePing&, const QByteArray& packet, quint16 sequenceNumber) override
    {
        events.append(QStringLiteral("sent %1 (%2 bytes)").arg(sequenceNumber).arg(packet.size()));
    }
    void didFailToSendPacket(SimplePing&, const QByteArray&, quint16 sequenceNumber,
                             const SimplePingError& error) override
    {
        events.append(QStringLiteral("not sent %1: %2").arg(sequenceNumber).arg(error.code()));
    }
};

} // namespace

class SimplePingTest : public QObject {
    Q_OBJECT

private slots:
    void pings_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("datagramRefused");
        QTest::addColumn<bool>("rawRefused");
        QTest::addColumn<QString>("peer"); // what answers each request
        QTest::addColumn<QString>("expected");

        QTest::newRow("datagram reply under the system's identifier") << "127.0.0.1" << false << false << "reply"
                                                                      << "reply";
        QTest::newRow("IPv6 reply") << "::1" << false << false << "reply"
                                    << "reply";
        QTest::newRow("raw reply with IPv4 header") << "127.0.0.1" << true << false << "reply"
                                                    << "reply";
        QTest::newRow("raw IPv6 reply") << "::1" << true << false << "reply"
                                        << "reply";
        QTest::newRow("datagram: reply to another identifier") << "127.0.0.1" << false << false << "other"
                                                               << "unexpectedPacket";
        QTest::newRow("raw: other sockets' replies are ignored") << "127.0.0.1" << true << false << "other"
                                                                 << "timedOut";
        QTest::newRow("raw: ours after another's") << "127.0.0.1" << true << false << "other+reply"
                                                   << "reply";
        QTest::newRow("garbage") << "127.0.0.1" << false << false << "garbage"
                                 << "unexpectedPacket";
        QTest::newRow("empty datagram") << "127.0.0.1" << false << false << "empty"
                                        << "failed(posix(32, \"Broken pipe\"))";
        QTest::newRow("silence") << "127.0.0.1" << false << false << "silence"
                                 << "timedOut";
        QTest::newRow("neither socket kind allowed")
            << "127.0.0.1" << true << true << "reply"
            << "failed(posix(1, \"Operation not permitted: not allowed in this test\"))";
        QTest::newRow("no host name") << "" << false << false << "reply"
                                      << "failed(hostResolution(2, ";
    }

    void pings()
    {
        QFETCH(QString, host);
        QFETCH(bool, datagramRefused);
        QFETCH(bool, rawRefused);
        QFETCH(QString, peer);
        QFETCH(QString, expected);

        const auto sockets = std::make_shared<FakeIcmpSockets>();
        if (datagramRefused) {
            sockets->refused.append(IcmpSocketKind::datagram);
        }
        if (rawRefused) {
            sockets->refused.append(IcmpSocketKind::raw);
        }
        sockets->answer = [peer](const QByteArray& request, IcmpSocketKind kind) -> QList<QByteArray> {
            // On a datagram socket the system replaces our identifier with its own.
            const quint16 ours =
                kind == IcmpSocketKind::datagram ? kernelIdentifier : qFromBigEndian<quint16>(request.constData() + 4);
            const QByteArray other = replyTo(request, kind, quint16(ours + 1));
            if (peer == u"reply") {
                return {replyTo(request, kind, ours)};
            }
            if (peer == u"other") {
                return {other};
            }
            if (peer == u"other+reply") {
                return {other, replyTo(request, kind, ours)};
            }
            if (peer == u"garbage") {
                return {QByteArray("\x45garbage")};
            }
            if (peer == u"empty") {
                return {QByteArray()};
            }
            return {};
        };
        const auto sink = std::make_shared<CaptureLogSink>();
        SimplePinger pinger(Logger(QStringLiteral("com.nerova.NerovaAgent"), QStringLiteral("SimplePinger"), sink),
                            sockets);
        // Short waits only where the timeout is the expected outcome.
        const QString result = QCoro::waitFor(outcome(pinger, host, expected == u"timedOut" ? 0.3 : 30));
        QVERIFY2(result.startsWith(expected), qPrintable(result));
        QVERIFY(pinger.isIdle());
        QTRY_VERIFY(sockets->allClosed());
        QCOMPARE(sink->messages(), QStringList{QStringLiteral("debug Pinging ") + host});
        if (datagramRefused && !rawRefused) {
            QCOMPARE(sockets->opened, QList{IcmpSocketKind::raw});
        }
        if (!sockets->requests.isEmpty() && !datagramRefused) {
            QCOMPARE(qFromBigEndian<quint16>(sockets->requests[0].constData() + 4), kernelIdentifier);
        }
    }

    void secondPingWhileBusy()
    {
        const auto sockets = std::make_shared<FakeIcmpSockets>(); // never answers
        SimplePinger pinger(Logger(QStringLiteral("test"), QStringLiteral("SimplePinger")), sockets);
        auto first = outcome(pinger, QStringLiteral("127.0.0.1"), 0.3);
        auto second = outcome(pinger, QStringLiteral("127.0.0.1"), 5);
        QVERIFY(second.isReady()); // refused at once
        QCOMPARE(QCoro::waitFor(second), QStringLiteral("alreadyPinging"));
        QCOMPARE(QCoro::waitFor(first), QStringLiteral("timedOut"));
        QVERIFY(pinger.isIdle());

        sockets->answer = [](const QByteArray& request, IcmpSocketKind kind) -> QList<QByteArray> {
            return {replyTo(request, kind, kernelIdentifier)};
        };
        QCOMPARE(QCoro::waitFor(outcome(pinger, QStringLiteral("127.0.0.1"), 5)), QStringLiteral("reply"));
    }

    void engineAddressStyles_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("style");
        QTest::addColumn<QString>("event");

        QTest::newRow("IPv4, any") << "127.0.0.1" << int(AddressStyle::any) << "start 127.0.0.1";
        QTest::newRow("IPv6, any") << "::1" << int(AddressStyle::any) << "start ::1";
        QTest::newRow("IPv4 wanted, got IPv4") << "127.0.0.1" << int(AddressStyle::ipv4Only) << "start 127.0.0.1";
        QTest::newRow("IPv4 wanted, got IPv6") << "::1" << int(AddressStyle::ipv4Only)
                                               << "fail hostResolution(1, \"no acceptable address for \\\"::1\\\"\")";
        QTest::newRow("IPv6 wanted, got IPv4")
            << "127.0.0.1" << int(AddressStyle::ipv6Only)
            << "fail hostResolution(1, \"no acceptable address for \\\"127.0.0.1\\\"\")";
    }

    void engineAddressStyles()
    {
        QFETCH(QString, host);
        QFETCH(int, style);
        QFETCH(QString, event);

        RecordingDelegate delegate;
        SimplePing ping(host, std::make_shared<FakeIcmpSockets>());
        ping.setDelegate(&delegate);
        ping.setAddressStyle(AddressStyle(style));
        ping.start();
        QTRY_COMPARE(delegate.events, QStringList{event});
        QCOMPARE(ping.hostAddress().has_value(), event.startsWith(u"start"));
    }

    void engineSequenceAndStop()
    {
        RecordingDelegate delegate;
        const auto sockets = std::make_shared<FakeIcmpSockets>();
        SimplePing ping(QStringLiteral("127.0.0.1"), sockets);
        ping.setDelegate(&delegate);
        ping.sendPing(); // no socket yet
        QCOMPARE(delegate.events, QStringList{QStringLiteral("not sent 0: %1").arg(EBADF)});

        ping.start();
        QTRY_COMPARE(delegate.events.size(), 2);
        QVERIFY(!ping.isConnected());
        ping.sendPing();
        ping.sendPing(QByteArray("x"));
        QVERIFY(ping.isConnected());
        QCOMPARE(ping.identifier(), kernelIdentifier);
        QCOMPARE(delegate.events.mid(2), (QStringList{"sent 1 (64 bytes)", "sent 2 (9 bytes)"}));
        QCOMPARE(ping.nextSequenceNumber(), quint16(3));
        QVERIFY(!ping.nextSequenceNumberHasWrapped());

        ping.stop();
        ping.stop();
        QVERIFY(!ping.hostAddress());
        QVERIFY(!ping.socketKind());
        QVERIFY(sockets->allClosed());
        QVERIFY(!ping.isConnected());
        ping.start(); // a stopped engine starts again, and connects its new socket
        QTRY_COMPARE(delegate.events.size(), 5);
        QCOMPARE(delegate.events.last(), QStringLiteral("start 127.0.0.1"));
        ping.sendPing();
        QVERIFY(ping.isConnected());
        QCOMPARE(delegate.events.last(), QStringLiteral("sent 3 (64 bytes)"));
    }

    void errorDescriptions()
    {
        QCOMPARE(PingError(PingError::Case::timedOut).description(), QStringLiteral("timedOut"));
        QCOMPARE(PingError::failed(QStringLiteral("posix(9, \"Bad file descriptor\")")).description(),
                 QStringLiteral("failed(posix(9, \"Bad file descriptor\"))"));
        QCOMPARE(SimplePingError::posix(EBADF, QStringLiteral("ctx")).description(),
                 QStringLiteral("posix(9, \"Bad file descriptor: ctx\")"));
    }
};

QTEST_GUILESS_MAIN(SimplePingTest)
#include "SimplePingTest.moc"
