#pragma once

#include "common/Error.h"

#include <QNetworkReply>

namespace nerova {

// A request that got no usable answer: no connection, a name that does not resolve, a time-out,
// a TLS failure, a broken transfer, or a limit of the exchange. Its case is Qt's error code, its
// payload Qt's text: ConnectionRefusedError("Connection refused").
class URLLoadingError final : public Error {
public:
    URLLoadingError(QNetworkReply::NetworkError code, QString message) : code_(code), message_(std::move(message)) {}

    QNetworkReply::NetworkError code() const { return code_; }
    const QString& message() const { return message_; }
    QString description() const override;

private:
    QNetworkReply::NetworkError code_;
    QString message_;
};

} // namespace nerova
