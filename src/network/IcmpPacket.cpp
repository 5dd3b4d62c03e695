#include "network/IcmpPacket.h"

#include <QtEndian>

#include <cstring>

namespace nerova::icmp {

namespace {

constexpr qsizetype checksumOffset = 2;
constexpr qsizetype identifierOffset = 4;
constexpr qsizetype sequenceOffset = 6;
constexpr qsizetype minimumIPv4Packet = 28; // 20-byte IPv4 header + 8-byte ICMP header
constexpr qsizetype ipv4ProtocolOffset = 9;
constexpr quint8 protocolICMP = 1;

quint16 readBigEndian16(QByteArrayView data, qsizetype offset) { return qFromBigEndian<quint16>(data.data() + offset); }

quint16 readRaw16(QByteArrayView data, qsizetype offset)
{
    quint16 value;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

// Type, code, identifier and sequence number of a message that has a whole ICMP header.
ReplyCheck checkEcho(QByteArrayView message, quint8 replyType, const ReplyExpectation& expected)
{
    if (quint8(message[0]) != replyType || message[1] != 0) {
        return {};
    }
    const quint16 sequenceNumber = readBigEndian16(message, sequenceOffset);
    if (readBigEndian16(message, identifierOffset) != expected.identifier) {
        return {ReplyCheck::Verdict::otherIdentifier, sequenceNumber};
    }
    if (!validateSequenceNumber(sequenceNumber, expected.nextSequenceNumber, expected.hasWrapped)) {
        return {};
    }
    return {ReplyCheck::Verdict::valid, sequenceNumber};
}

} // namespace

quint16 internetChecksum(QByteArrayView data)
{
    quint32 sum = 0;
    qsizetype i = 0;
    for (; i + 1 < data.size(); i += 2) {
        sum += readRaw16(data, i);
    }
    if (i < data.size()) {
        sum += quint8(data[i]);
    }
    sum = (sum >> 16) + (sum & 0xffff);
    sum += sum >> 16;
    return quint16(~sum);
}

QByteArray defaultPayload(quint16 sequenceNumber)
{
    const QByteArray count = QByteArray::number(99 - sequenceNumber % 100);
    return QByteArray(28 - count.size(), ' ') + count + " bottles of beer on the wall";
}

QByteArray pingPacket(quint8 type, quint16 identifier, quint16 sequenceNumber, QByteArrayView payload,
                      bool requiresChecksum)
{
    QByteArray packet(headerSize, '\0');
    packet[0] = char(type);
    qToBigEndian(identifier, packet.data() + identifierOffset);
    qToBigEndian(sequenceNumber, packet.data() + sequenceOffset);
    packet.append(payload);
    if (requiresChecksum) {
        const quint16 checksum = internetChecksum(packet);
        std::memcpy(packet.data() + checksumOffset, &checksum, sizeof checksum);
    }
    return packet;
}

std::optional<qsizetype> icmpHeaderOffsetInIPv4Packet(QByteArrayView packet)
{
    if (packet.size() < minimumIPv4Packet || (quint8(packet[0]) & 0xF0) != 0x40 ||
        quint8(packet[ipv4ProtocolOffset]) != protocolICMP) {
        return std::nullopt;
    }
    const qsizetype offset = (quint8(packet[0]) & 0x0F) * 4;
    if (packet.size() < offset + headerSize) {
        return std::nullopt;
    }
    return offset;
}

bool validateSequenceNumber(quint16 sequenceNumber, quint16 nextSequenceNumber, bool hasWrapped)
{
    if (hasWrapped) {
        return quint16(nextSequenceNumber - sequenceNumber) < sequenceWindowAfterWrap;
    }
    return sequenceNumber < nextSequenceNumber;
}

ReplyCheck validatePing4ResponsePacket(QByteArray& packet, const ReplyExpectation& expected, bool withIPv4Header)
{
    qsizetype offset = 0;
    if (withIPv4Header) {
        const auto found = icmpHeaderOffsetInIPv4Packet(packet);
        if (!found) {
            return {};
        }
        offset = *found;
    } else if (packet.size() < headerSize) {
        return {};
    }
    QByteArray message = packet.mid(offset);
    const quint16 received = readRaw16(message, checksumOffset);
    std::memset(message.data() + checksumOffset, 0, sizeof received);
    if (internetChecksum(message) != received) {
        return {};
    }
    std::memcpy(message.data() + checksumOffset, &received, sizeof received);
    const ReplyCheck check = checkEcho(message, echoReplyV4, expected);
    if (check.verdict == ReplyCheck::Verdict::valid) {
        packet = message;
    }
    return check;
}

ReplyCheck validatePing6ResponsePacket(QByteArrayView packet, const ReplyExpectation& expected)
{
    if (packet.size() < headerSize) {
        return {};
    }
    return checkEcho(packet, echoReplyV6, expected);
}

} // namespace nerova::icmp
