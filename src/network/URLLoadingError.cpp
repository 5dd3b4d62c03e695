#include "network/URLLoadingError.h"

#include <QMetaEnum>

namespace nerova {

QString URLLoadingError::description() const
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code_);
    return describeCase(name ? QString::fromLatin1(name) : QString::number(int(code_)), message_);
}

} // namespace nerova
