#pragma once

#include "common/Error.h"

#include <QNetworkReply>
#include <QString>

namespace nerova {

// A request that got no usable answer: no connection, a name that does not resolve, a time-out,
// a TLS failure, a broken transfer. Carries Qt's error code and text.
class URLLoadingError final : public Error {
public:
    URLLoadingError(QNetworkReply::NetworkError code, QString message) : code_(code), message_(std::move(message)) {}

    QNetworkReply::NetworkError code() const { return code_; }
    const QString& message() const { return message_; }
    // The code's name with the text, for example ConnectionRefusedError("Connection refused").
    QString description() const override;

private:
    QNetworkReply::NetworkError code_;
    QString message_;
};

} // namespace nerova
