#pragma once

#include <QString>

namespace nerova::presence {

// Why a request was refused: the HTTP status and the ServerError message.
struct Refusal {
    int status;
    QString message;
};

[[noreturn]] inline void refuse(int status, QString message) { throw Refusal{status, std::move(message)}; }

} // namespace nerova::presence
