#pragma once

#include "common/Error.h"

#include <QString>

namespace nerova {

struct CIDRErrorsCases {
    NEROVA_ERROR_CASES(invalidDottedQuad, invalidCIDR, invalidCIDRMask);
};

// Why a CIDR range or an address text was refused; each case carries the offending text.
class CIDRErrors final : public ErrorFamily<CIDRErrorsCases> {
public:
    using ErrorFamily::ErrorFamily;
};

// An address range; CIDRv4 is the only kind.
class CIDR {
public:
    virtual ~CIDR() = default;
    virtual bool contains(const QString& address) const = 0;
    virtual QString debugDescription() const = 0;
};

// An IPv4 range a.b.c.d/n with n from 1 to 32. Host bits given in the text are cleared.
class CIDRv4 final : public CIDR {
public:
    // Raises CIDRErrors for text that is not a range.
    explicit CIDRv4(const QString& text);

    qint64 network() const { return network_; }
    qint64 maskBits() const { return maskBits_; }

    // Raises CIDRErrors when `address` is not dotted-quad text.
    bool contains(const QString& address) const override;
    // "Network = 167772160 maskBits=8"
    QString debugDescription() const override;

    // The mask of `length` leading one bits (1 to 32) in the low 32 bits.
    static qint64 netmask(qint64 length);
    // The 32-bit value of a.b.c.d text; raises CIDRErrors.
    static qint64 dottedQuadValue(const QString& address);

private:
    qint64 network_;
    qint64 maskBits_;
};

} // namespace nerova
