#include "rules/CIDRv4.h"

#include <QStringList>

#include <limits>
#include <optional>

namespace nerova {

namespace {

// Cuts at every separator and drops empty segments.
QStringList splitDroppingEmpty(const QString& text, QChar separator)
{
    return text.split(separator, Qt::SkipEmptyParts);
}

// Decimal digits with one optional leading sign; fails on anything else or on 64-bit overflow.
// Leading zeros are decimal.
std::optional<qint64> readInteger(const QString& text)
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

} // namespace

CIDRv4::CIDRv4(const QString& text)
{
    const QStringList parts = splitDroppingEmpty(text, u'/');
    if (parts.size() != 2) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDR, text);
    }
    const std::optional<qint64> mask = readInteger(parts[1]);
    if (!mask) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDRMask, parts[1]);
    }
    if (*mask < 1 || *mask > 32) {
        throw CIDRErrors(CIDRErrors::Case::invalidCIDR, parts[1]);
    }
    maskBits_ = *mask;
    network_ = netmask(maskBits_) & dottedQuadValue(parts[0]);
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

qint64 CIDRv4::dottedQuadValue(const QString& address)
{
    const QStringList parts = splitDroppingEmpty(address, u'.');
    if (parts.size() != 4) {
        throw CIDRErrors(CIDRErrors::Case::invalidDottedQuad, address);
    }
    qint64 value = 0;
    for (const QString& part : parts) {
        const std::optional<qint64> octet = readInteger(part);
        if (!octet) {
            throw CIDRErrors(CIDRErrors::Case::invalidDottedQuad, address);
        }
        if (*octet < 0 || *octet > 255) {
            throw CIDRErrors(CIDRErrors::Case::invalidCIDR, address);
        }
        value = value * 256 + *octet;
    }
    return value;
}

} // namespace nerova
