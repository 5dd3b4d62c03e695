#include "rules/CIDRv4.h"

#include <QStringTokenizer>

#include <array>
#include <limits>
#include <optional>

namespace nerova {

namespace {

// The first N non-empty segments between separators, and how many there are in all (counting
// stops at N + 1). No allocation: ranges are parsed for every condition of every check.
template <std::size_t N>
struct Segments {
    std::array<QStringView, N> parts;
    std::size_t count = 0;
};

template <std::size_t N>
Segments<N> splitDroppingEmpty(QStringView text, QChar separator)
{
    Segments<N> segments;
    for (const QStringView part : QStringTokenizer(text, separator, Qt::SkipEmptyParts)) {
        if (segments.count < N) {
            segments.parts[segments.count] = part;
        }
        if (++segments.count > N) {
            break;
        }
    }
    return segments;
}

// Decimal digits with one optional leading sign; fails on anything else or on 64-bit overflow.
// Leading zeros are decimal.
std::optional<qint64> readInteger(QStringView text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    // Accumulate towards the negative side, which holds one more value than the positive side.
    qint64 value = 0;
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const int digit = c - u'0';
        if (value < (min + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == min) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

// The 32-bit value of dotted-quad text; raises CIDRErrors naming the text.
qint64 quadValue(QStringView address)
{
    const Segments<4> segments = splitDroppingEmpty<4>(address, u'.');
    if (segments.count != 4) {
        throw CIDRErrors(CIDRErrors::Case::invalidDottedQuad, address.toString());
    }
    qint64 value = 0;
    for (const QStringView part : segments.parts) {
        const std::optional<qint64> octet = readInteger(part);
        if (!octet) {
            throw CIDRErrors(CIDRErrors::Case::invalidDottedQuad, address.toString());
        }
        if (*octet < 0 || *octet > 255) {
            throw CIDRErrors(CIDRErrors::Case::invalidCIDR, address.toString());
        }
        value = value * 256 + *octet;
    }
    return value;
}

} // namespace

CIDRv4::CIDRv4(const QString& text)
{
    const Segments<2> segments = splitDroppingEmpty<2>(text, u'/');
    if (segments.count != 2) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDR, text);
    }
    const QStringView maskText = segments.parts[1];
    const std::optional<qint64> mask = readInteger(maskText);
    if (!mask) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDRMask, maskText.toString());
    }
    if (*mask < 1 || *mask > 32) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDR, maskText.toString());
    }
    maskBits_ = *mask;
    network_ = netmask(maskBits_) & quadValue(segments.parts[0]);
}

bool CIDRv4::contains(const QString& address) const
{
    return (netmask(maskBits_) & dottedQuadValue(address)) == network_;
}

QString CIDRv4::debugDescription() const
{
    return QStringLiteral("Network = %1 maskBits=%2").arg(network_).arg(maskBits_);
}

qint64 CIDRv4::netmask(qint64 length) { return ((qint64(1) << length) - 1) << (32 - length); }

qint64 CIDRv4::dottedQuadValue(const QString& address) { return quadValue(address); }

} // namespace nerova
