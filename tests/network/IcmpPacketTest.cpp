#include "network/IcmpPacket.h"

#include <QTest>
#include <QtEndian>

#include <cstring>

using namespace nerova;
using Verdict = icmp::ReplyCheck::Verdict;

Q_DECLARE_METATYPE(Verdict)

namespace {

// The checksum as the bytes it occupies in a packet.
QByteArray checksumBytes(QByteArrayView data)
{
    const quint16 checksum = icmp::internetChecksum(data);
    QByteArray bytes(2, '\0');
    std::memcpy(bytes.data(), &checksum, 2);
    return bytes;
}

QByteArray echoMessage(quint8 type, quint8 code, quint16 identifier, quint16 sequenceNumber)
{
    QByteArray message = icmp::pingPacket(type, identifier, sequenceNumber, icmp::defaultPayload(sequenceNumber), true);
    if (code != 0) {
        message[1] = char(code);
        message[2] = message[3] = 0;
        const quint16 checksum = icmp::internetChecksum(message);
        std::memcpy(message.data() + 2, &checksum, 2);
    }
    return message;
}

// An IPv4 datagram around `message` with a header of `headerLength` 32-bit words.
QByteArray ipv4Datagram(const QByteArray& message, int headerLength = 5, quint8 version = 4, quint8 protocol = 1)
{
    QByteArray header(headerLength * 4, '\0');
    header[0] = char((version << 4) | headerLength);
    header[8] = 64; // TTL
    header[9] = char(protocol);
    return header + message;
}

} // namespace

class IcmpPacketTest : public QObject {
    Q_OBJECT

private slots:
    void checksum_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected"); // as stored in the packet

        QTest::newRow("RFC 1071 example") << QByteArray::fromHex("0001f203f4f5f6f7") << QByteArray::fromHex("220d");
        QTest::newRow("odd length pads the last byte") << QByteArray::fromHex("010203") << QByteArray::fromHex("fbfd");
        QTest::newRow("carries fold back") << QByteArray::fromHex("ffffffff") << QByteArray::fromHex("0000");
        QTest::newRow("zeros") << QByteArray(4, '\0') << QByteArray::fromHex("ffff");
        QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("ffff");
    }

    void checksum()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        QCOMPARE(checksumBytes(data), expected);
    }

    void defaultPayload_data()
    {
        QTest::addColumn<int>("sequenceNumber");
        QTest::addColumn<QByteArray>("count");
        QTest::newRow("0") << 0 << QByteArray("99");
        QTest::newRow("1") << 1 << QByteArray("98");
        QTest::newRow("99") << 99 << QByteArray("0");
        QTest::newRow("100 starts over") << 100 << QByteArray("99");
        QTest::newRow("65535") << 65535 << QByteArray("64");
    }

    void defaultPayload()
    {
        QFETCH(int, sequenceNumber);
        QFETCH(QByteArray, count);
        const QByteArray payload = icmp::defaultPayload(quint16(sequenceNumber));
        QCOMPARE(payload.size(), 56);
        QCOMPARE(payload, QByteArray(28 - count.size(), ' ') + count + " bottles of beer on the wall");
    }

    void requestLayout()
    {
        const QByteArray v4 = icmp::pingPacket(icmp::echoRequestV4, 0x1234, 0x0102, icmp::defaultPayload(0), true);
        QCOMPARE(v4.size(), 64);
        QCOMPARE(v4.left(2), QByteArray::fromHex("0800"));
        QCOMPARE(v4.mid(4, 4), QByteArray::fromHex("12340102"));
        QCOMPARE(v4.mid(8), QByteArray(26, ' ') + "99 bottles of beer on the wall");
        QCOMPARE(icmp::internetChecksum(v4), quint16(0)); // a correct checksum sums to zero

        const QByteArray v6 = icmp::pingPacket(icmp::echoRequestV6, 0xfffe, 7, "abc", false);
        QCOMPARE(v6, QByteArray::fromHex("80000000fffe0007") + "abc");
    }

    void icmpHeaderOffset_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<int>("offset"); // -1: not an ICMP datagram we can read

        const QByteArray message = echoMessage(icmp::echoReplyV4, 0, 1, 0);
        QTest::newRow("20-byte header") << ipv4Datagram(message) << 20;
        QTest::newRow("24-byte header") << ipv4Datagram(message, 6) << 24;
        QTest::newRow("bare ICMP header fits") << ipv4Datagram(message.left(8)) << 20;
        QTest::newRow("27 bytes") << ipv4Datagram(message.left(7)) << -1;
        QTest::newRow("ICMP header cut off after options") << ipv4Datagram(message, 15).left(64) << -1;
        QTest::newRow("version 6") << ipv4Datagram(message, 5, 6) << -1;
        QTest::newRow("UDP") << ipv4Datagram(message, 5, 4, 17) << -1;
    }

    void icmpHeaderOffset()
    {
        QFETCH(QByteArray, packet);
        QFETCH(int, offset);
        const auto found = icmp::icmpHeaderOffsetInIPv4Packet(packet);
        QCOMPARE(found ? int(*found) : -1, offset);
    }

    void sequenceNumbers_data()
    {
        QTest::addColumn<int>("received");
        QTest::addColumn<int>("next");
        QTest::addColumn<bool>("wrapped");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("first request answered") << 0 << 1 << false << true;
        QTest::newRow("older request") << 2 << 5 << false << true;
        QTest::newRow("not sent yet") << 5 << 5 << false << false;
        QTest::newRow("nothing sent") << 0 << 0 << false << false;
        QTest::newRow("wrapped: next number itself") << 5 << 5 << true << true;
        QTest::newRow("wrapped: just before the wrap") << 65535 << 5 << true << true;
        QTest::newRow("wrapped: difference 119") << 65422 << 5 << true << true;
        QTest::newRow("wrapped: difference 120") << 65421 << 5 << true << false;
        QTest::newRow("wrapped: one ahead") << 6 << 5 << true << false;
        QTest::newRow("wrapped far on: difference 119") << 81 << 200 << true << true;
        QTest::newRow("wrapped far on: difference 120") << 80 << 200 << true << false;
    }

    void sequenceNumbers()
    {
        QFETCH(int, received);
        QFETCH(int, next);
        QFETCH(bool, wrapped);
        QFETCH(bool, accepted);
        QCOMPARE(icmp::validateSequenceNumber(quint16(received), quint16(next), wrapped), accepted);
    }

    void ipv4Replies_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<bool>("withIPv4Header");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<QByteArray>("message"); // what a valid reply is reduced to

        const QByteArray reply = echoMessage(icmp::echoReplyV4, 0, 0x4242, 3);
        QByteArray badChecksum = reply;
        badChecksum[20] = 'X';

        QTest::newRow("raw, 20-byte header") << ipv4Datagram(reply) << true << Verdict::valid << reply;
        QTest::newRow("raw, 24-byte header") << ipv4Datagram(reply, 6) << true << Verdict::valid << reply;
        QTest::newRow("datagram socket, no header") << reply << false << Verdict::valid << reply;
        QTest::newRow("bad checksum") << ipv4Datagram(badChecksum) << true << Verdict::invalid << QByteArray();
        QTest::newRow("our own request") << ipv4Datagram(echoMessage(icmp::echoRequestV4, 0, 0x4242, 3)) << true
                                         << Verdict::invalid << QByteArray();
        QTest::newRow("code 1") << echoMessage(icmp::echoReplyV4, 1, 0x4242, 3) << false << Verdict::invalid
                                << QByteArray();
        QTest::newRow("another identifier") << ipv4Datagram(echoMessage(icmp::echoReplyV4, 0, 0x4243, 3)) << true
                                            << Verdict::otherIdentifier << QByteArray();
        QTest::newRow("sequence not sent")
            << echoMessage(icmp::echoReplyV4, 0, 0x4242, 10) << false << Verdict::invalid << QByteArray();
        QTest::newRow("datagram shorter than a header") << reply.left(7) << false << Verdict::invalid << QByteArray();
        QTest::newRow("header expected but missing") << reply << true << Verdict::invalid << QByteArray();
    }

    void ipv4Replies()
    {
        QFETCH(QByteArray, packet);
        QFETCH(bool, withIPv4Header);
        QFETCH(Verdict, verdict);
        QFETCH(QByteArray, message);

        const QByteArray original = packet;
        const icmp::ReplyCheck check = icmp::validatePing4ResponsePacket(packet, {0x4242, 10, false}, withIPv4Header);
        QCOMPARE(check.verdict, verdict);
        if (verdict == Verdict::valid) {
            QCOMPARE(check.sequenceNumber, quint16(3));
            QCOMPARE(packet, message);
        } else {
            QCOMPARE(packet, original); // left as received, for the unexpected-packet report
        }
    }

    void ipv6Replies_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<Verdict>("verdict");

        QByteArray reply = icmp::pingPacket(icmp::echoReplyV6, 0x4242, 3, "payload", false);
        QTest::newRow("reply") << reply << Verdict::valid;
        reply[2] = 'X';
        QTest::newRow("checksum is the kernel's business") << reply << Verdict::valid;
        QTest::newRow("request") << icmp::pingPacket(icmp::echoRequestV6, 0x4242, 3, "", false) << Verdict::invalid;
        QTest::newRow("another identifier")
            << icmp::pingPacket(icmp::echoReplyV6, 1, 3, "", false) << Verdict::otherIdentifier;
        QTest::newRow("sequence not sent")
            << icmp::pingPacket(icmp::echoReplyV6, 0x4242, 10, "", false) << Verdict::invalid;
        QTest::newRow("7 bytes") << reply.left(7) << Verdict::invalid;
    }

    void ipv6Replies()
    {
        QFETCH(QByteArray, packet);
        QFETCH(Verdict, verdict);
        QCOMPARE(icmp::validatePing6ResponsePacket(packet, {0x4242, 10, false}).verdict, verdict);
    }
};

QTEST_GUILESS_MAIN(IcmpPacketTest)
#include "IcmpPacketTest.moc"
