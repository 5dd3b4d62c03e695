#include "network/AsyncConnectionError.h"

namespace nerova {

AsyncConnectionError::AsyncConnectionError(Case errorCase, QString message)
    : case_(errorCase)
    , message_(std::move(message))
{}

QString AsyncConnectionError::description() const
{
    switch (case_) {
    case Case::invalidPort: return describeCase(QStringLiteral("invalidPort"), message_);
    case Case::connectionFailed: return describeCase(QStringLiteral("connectionFailed"), message_);
    case Case::readFailed: return describeCase(QStringLiteral("readFailed"), message_);
    }
    return describeCase(QStringLiteral("unknown"), message_);
}

} // namespace nerova
