#include "network/SocketStatus.h"

#include <sys/socket.h>

namespace nerova {

int takePendingSocketError(qintptr descriptor)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (descriptor < 0 || ::getsockopt(int(descriptor), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return 0;
    }
    return error;
}

} // namespace nerova
