#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Building ICMP echo requests and checking echo replies. Pure functions, free of any socket.
namespace nerova::icmp {

inline constexpr quint8 echoRequestV4 = 8;
inline constexpr quint8 echoReplyV4 = 0;
inline constexpr quint8 echoRequestV6 = 128;
inline constexpr quint8 echoReplyV6 = 129;
inline constexpr qsizetype headerSize = 8;          // type, code, checksum, identifier, sequence number
inline constexpr int sequenceWindowAfterWrap = 120; // replies accepted behind the next number once wrapped

// The Internet checksum (RFC 1071): 16-bit words summed in the machine's byte order, folded, and
// complemented. The result goes into the checksum field exactly as returned.
quint16 internetChecksum(QByteArrayView data);

// "%28zd bottles of beer on the wall" for 99 minus (sequence number modulo 100): 56 ASCII bytes.
QByteArray defaultPayload(quint16 sequenceNumber);

// An echo request: the 8-byte header (identifier and sequence number in network byte order)
// followed by the payload; the checksum covers the whole packet when `requiresChecksum`
// (ICMP for IPv4), and stays 0 otherwise (the kernel fills it in for ICMPv6).
QByteArray pingPacket(quint8 type, quint16 identifier, quint16 sequenceNumber, QByteArrayView payload,
                      bool requiresChecksum);

// Where the ICMP message starts inside an IPv4 datagram (4 times the header-length nibble), or
// nothing unless the datagram is at least 28 bytes, is IPv4, carries ICMP and holds a whole
// ICMP header after its IP header.
std::optional<qsizetype> icmpHeaderOffsetInIPv4Packet(QByteArrayView packet);

// Whether a reply's sequence number belongs to a request already sent. Before the counter has
// wrapped that means below `nextSequenceNumber`; after it, the 120 numbers ending at
// `nextSequenceNumber` (that one included, as it was sent before the wrap).
bool validateSequenceNumber(quint16 sequenceNumber, quint16 nextSequenceNumber, bool hasWrapped);

// What the engine expects of a reply.
struct ReplyExpectation {
    quint16 identifier;
    quint16 nextSequenceNumber;
    bool hasWrapped;
};

struct ReplyCheck {
    enum class Verdict {
        valid,           // our echo reply
        otherIdentifier, // a well-formed echo reply to another socket's request
        invalid,         // anything else
    };
    Verdict verdict = Verdict::invalid;
    quint16 sequenceNumber = 0;
};

// Checks an ICMP (IPv4) echo reply. Raw sockets deliver the IPv4 header in front of the ICMP
// message (`withIPv4Header`), datagram sockets the ICMP message alone. Requires a correct
// checksum, type 0 and code 0, the identifier and an acceptable sequence number. A valid reply
// loses its IPv4 header, so that `packet` is then the ICMP message only.
ReplyCheck validatePing4ResponsePacket(QByteArray& packet, const ReplyExpectation& expected, bool withIPv4Header);

// Checks an ICMPv6 echo reply (no IPv6 header, checksum verified by the kernel): type 129,
// code 0, the identifier and an acceptable sequence number.
ReplyCheck validatePing6ResponsePacket(QByteArrayView packet, const ReplyExpectation& expected);

} // namespace nerova::icmp
