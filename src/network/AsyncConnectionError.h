#pragma once

#include "common/Error.h"

namespace nerova {

struct AsyncConnectionErrorCases {
    NEROVA_ERROR_CASES(invalidPort,      // the port cannot be connected to (0)
                       connectionFailed, // resolution or connection failed
                       readFailed);      // the read failed, for example because the peer reset the connection
};

// How a TCP probe's stream ended with an error, with the system's text: connectionFailed("Connection refused").
class AsyncConnectionError final : public ErrorFamily<AsyncConnectionErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
};

} // namespace nerova
