#pragma once

#include "common/Error.h"

#include <QString>

namespace nerova {

// How a TCP probe's stream ended with an error.
class AsyncConnectionError : public Error {
public:
    enum class Case {
        invalidPort,      // the port cannot be connected to (0)
        connectionFailed, // resolution or connection failed
        readFailed,       // the read failed, for example because the peer reset the connection
    };

    AsyncConnectionError(Case errorCase, QString message);

    Case errorCase() const { return case_; }
    const QString& message() const { return message_; }
    // For example connectionFailed("Connection refused").
    QString description() const override;

private:
    Case case_;
    QString message_;
};

} // namespace nerova
