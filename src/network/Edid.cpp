#include "network/Edid.h"

#include <array>

namespace nerova {

namespace {

constexpr qsizetype baseBlockSize = 128;
constexpr std::array<unsigned char, 8> header{0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
constexpr qsizetype firstDescriptor = 54;
constexpr qsizetype descriptorSize = 18;
constexpr int descriptorCount = 4;
constexpr unsigned char serialTag = 0xff;
constexpr unsigned char nameTag = 0xfc;
constexpr std::uint32_t placeholderSerial = 0x01010101;

unsigned char byteAt(QByteArrayView blob, qsizetype offset) { return static_cast<unsigned char>(blob[offset]); }

// The 13 text bytes of a display descriptor: they end at a line feed (firmware that omits it pads
// with spaces or, now and then, with zero bytes), surrounding spaces are dropped, and bytes outside
// printable ASCII are written as \xNN so that two different texts never read alike.
QString descriptorText(QByteArrayView text)
{
    QString decoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0x0a || byte == 0x00) {
            break;
        }
        if (byte >= 0x20 && byte < 0x7f) {
            decoded += QLatin1Char(c);
        } else {
            decoded += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        }
    }
    qsizetype begin = 0;
    qsizetype end = decoded.size();
    while (begin < end && decoded[begin] == u' ') {
        ++begin;
    }
    while (end > begin && decoded[end - 1] == u' ') {
        --end;
    }
    return decoded.sliced(begin, end - begin);
}

// The PnP id: three 5-bit letters (1 is 'A') packed big-endian under a reserved top bit.
QString manufacturerCode(unsigned high, unsigned low)
{
    const unsigned packed = (high << 8) | low;
    QString code;
    for (const int shift : {10, 5, 0}) {
        const unsigned letter = (packed >> shift) & 0x1f;
        code += letter >= 1 && letter <= 26 ? QChar(u'A' + letter - 1) : QChar(u'?');
    }
    return code;
}

} // namespace

QString EdidIdentity::peripheralId() const
{
    QString id = QStringLiteral("display:%1-%2-%3")
                     .arg(manufacturer)
                     .arg(productCode, 4, 16, QLatin1Char('0'))
                     .arg(serialNumber, 8, 16, QLatin1Char('0'));
    if (!serialText.isEmpty()) {
        id += u'-' + serialText;
    }
    return id;
}

bool EdidIdentity::uniqueSerial() const
{
    return !serialText.isEmpty() || (serialNumber != 0 && serialNumber != placeholderSerial);
}

QString EdidIdentity::displayName() const
{
    if (!name.isEmpty()) {
        return name;
    }
    return QStringLiteral("%1 %2").arg(manufacturer).arg(productCode, 4, 16, QLatin1Char('0'));
}

std::optional<EdidIdentity> decodeEdid(QByteArrayView blob)
{
    if (blob.size() < baseBlockSize) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < qsizetype(header.size()); ++i) {
        if (byteAt(blob, i) != header[i]) {
            return std::nullopt;
        }
    }
    unsigned sum = 0;
    for (qsizetype i = 0; i < baseBlockSize; ++i) {
        sum += byteAt(blob, i);
    }
    if (sum % 256 != 0) {
        return std::nullopt;
    }

    EdidIdentity identity;
    identity.manufacturer = manufacturerCode(byteAt(blob, 8), byteAt(blob, 9));
    identity.productCode = static_cast<std::uint16_t>(byteAt(blob, 10) | byteAt(blob, 11) << 8);
    identity.serialNumber = std::uint32_t(byteAt(blob, 12)) | std::uint32_t(byteAt(blob, 13)) << 8 |
                            std::uint32_t(byteAt(blob, 14)) << 16 | std::uint32_t(byteAt(blob, 15)) << 24;
    // A display descriptor starts with a zero pixel clock and a zero byte, then its tag, a zero
    // byte and 13 bytes of data. The first descriptor of each kind counts.
    for (int i = 0; i < descriptorCount; ++i) {
        const QByteArrayView descriptor = blob.sliced(firstDescriptor + i * descriptorSize, descriptorSize);
        if (byteAt(descriptor, 0) != 0 || byteAt(descriptor, 1) != 0 || byteAt(descriptor, 2) != 0) {
            continue; // a detailed timing
        }
        const unsigned char tag = byteAt(descriptor, 3);
        if (tag == serialTag && identity.serialText.isEmpty()) {
            identity.serialText = descriptorText(descriptor.sliced(5));
        } else if (tag == nameTag && identity.name.isEmpty()) {
            identity.name = descriptorText(descriptor.sliced(5));
        }
    }
    return identity;
}

} // namespace nerova
