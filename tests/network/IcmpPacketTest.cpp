#include "network/IcmpPacket.h"

#include <QTest>

using namespace nerova;
using Verdict = icmp::ReplyCheck::Verdict;

Q_DECLARE_METATYPE(Verdict)

namespace {

// The checksum as the bytes it occupies in a packet.
QByteArray checksumBytes(QByteArrayView data)
{
    const quint16 checksum = icmp::internetChecksum(data);
    return QByteArray(reinterpret_cast<const char*>(&checksum), 2);
}

QByteArray echoMessage(quint8 type, quint16 identifier, quint16 sequenceNumber, quint8 code = 0)
{
    QByteArray message = icmp::pingPacket(type, identifier, sequenceNumber, icmp::defaultPayload(sequenceNumber), true);
    if (code != 0) { // a correct checksum over the changed code
        message[1] = char(code);
        message[2] = message[3] = '\0';
        message.replace(2, 2, checksumBytes(message));
    }
    return message;
}

// An IPv4 datagram around `message` with a header of `headerLength` 32-bit words.
QByteArray ipv4Datagram(const QByteArray& message, int headerLength = 5, quint8 version = 4, quint8 protocol = 1)
{
    QByteArray header(headerLength * 4, '\0');
    header[0] = char((version << 4) | headerLength);
    header[9] = char(protocol);
    return header + message;
}

} // namespace

class IcmpPacketTest : public QObject {
    Q_OBJECT

private slots:
    void checksum()
    {
        // The checksum as stored in the packet: RFC 1071's example, an odd length (the last byte
        // padded), carries folded back, nothing at all.
        const std::pair<const char*, const char*> rows[] = {
            {"0001f203f4f5f6f7", "220d"}, {"010203", "fbfd"}, {"ffffffff", "0000"}, {"", "ffff"}};
        for (const auto& [data, expected] : rows) {
            QCOMPARE(checksumBytes(QByteArray::fromHex(data)), QByteArray::fromHex(expected));
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
            {0, 1, false, true},     {5, 5, false, false}, {5, 5, true, true},    {65422, 5, true, true},
            {65421, 5, true, false}, {6, 5, true, false},  {81, 200, true, true}, {80, 200, true, false},
        };
        for (const auto& row : rows) {
            QVERIFY2(icmp::validateSequenceNumber(row.received, row.next, row.wrapped) == row.accepted,
                     qPrintable(QStringLiteral("%1 before %2").arg(row.received).arg(row.next)));
        }
    }

    // Replies to identifier 0x4242, sequence number 3, with numbers below 10 sent.
    void replies_data()
    {
        // clang-format off
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<bool>("withIPv4Header");
        QTest::addColumn<Verdict>("verdict");

        const QByteArray reply = echoMessage(icmp::echoReplyV4, 0x4242, 3);
        QByteArray badChecksum = reply;
        badChecksum[20] = 'X';
        QTest::newRow("raw, 24-byte header") << false << ipv4Datagram(reply, 6) << true << Verdict::valid;
        QTest::newRow("bad checksum") << false << ipv4Datagram(badChecksum) << true << Verdict::invalid;
        QTest::newRow("our own request") << false << ipv4Datagram(echoMessage(icmp::echoRequestV4, 0x4242, 3)) << true << Verdict::invalid;
        QTest::newRow("code 1") << false << echoMessage(icmp::echoReplyV4, 0x4242, 3, 1) << false << Verdict::invalid;
        QTest::newRow("sequence not sent") << false << echoMessage(icmp::echoReplyV4, 0x4242, 10) << false << Verdict::invalid;
        QTest::newRow("datagram shorter than a header") << false << reply.left(7) << false << Verdict::invalid;
        QTest::newRow("header expected but missing") << false << reply << true << Verdict::invalid;

        QTest::newRow("IPv6 7 bytes") << true << icmp::pingPacket(icmp::echoReplyV6, 0x4242, 3, "", false).left(7) << false << Verdict::invalid;
        // clang-format on
    }

    void replies()
    {
        QFETCH(bool, ipv6);
        QFETCH(QByteArray, packet);
        QFETCH(bool, withIPv4Header);
        QFETCH(Verdict, verdict);

        const icmp::ReplyExpectation expected{0x4242, 10, false};
        QByteArray message = packet;
        const icmp::ReplyCheck check = ipv6 ? icmp::validatePing6ResponsePacket(message, expected)
                                            : icmp::validatePing4ResponsePacket(message, expected, withIPv4Header);
        QCOMPARE(check.verdict, verdict);
        if (verdict == Verdict::valid) {
            QCOMPARE(check.sequenceNumber, quint16(3));
        }
        // A valid IPv4 reply loses its IP header; anything else stays as received, for the unexpected-packet report.
        QCOMPARE(message, verdict == Verdict::valid && withIPv4Header ? packet.mid(packet.size() - 64) : packet);
    }
};

QTEST_GUILESS_MAIN(IcmpPacketTest)
#include "IcmpPacketTest.moc"
