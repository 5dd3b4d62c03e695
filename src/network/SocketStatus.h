#pragma once

#include <QtGlobal>

namespace nerova {

// The error pending on a socket (for example ECONNRESET after the peer reset a TCP connection),
// cleared by reading it; 0 when there is none or the descriptor is not a socket.
int takePendingSocketError(qintptr descriptor);

} // namespace nerova
