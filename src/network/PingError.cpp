#include "network/PingError.h"

namespace nerova {

PingError::PingError(Case errorCase, QString cause)
    : case_(errorCase)
    , cause_(std::move(cause))
{}

QString PingError::description() const
{
    // The cause is itself an error description, so it is shown as it stands rather than quoted.
    if (case_ == Case::failed) {
        return caseName(case_) + u'(' + cause_ + u')';
    }
    return caseName(case_);
}

QString caseName(PingError::Case errorCase)
{
    switch (errorCase) {
    case PingError::Case::failed: return QStringLiteral("failed");
    case PingError::Case::alreadyPinging: return QStringLiteral("alreadyPinging");
    case PingError::Case::timedOut: return QStringLiteral("timedOut");
    case PingError::Case::unexpectedPacket: return QStringLiteral("unexpectedPacket");
    case PingError::Case::endWithoutStart: return QStringLiteral("endWithoutStart");
    }
    return QStringLiteral("unknown");
}

} // namespace nerova
