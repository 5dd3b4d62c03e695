#pragma once

#include "common/CancellationToken.h"
#include "common/Channel.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

namespace nerova {

// TCP probe: connects to a host and port, reads once (1 to 1024 bytes) and feeds what arrives
// into a channel, which ends normally when the window closes, or with an AsyncConnectionError
// when the connection or the read fails. A peer that closes the connection normally ends
// nothing: the stream still ends at the window's close. A cancelled probe closes its socket at
// once, as the window's close does, and its stream ends with OperationCancelled.
class AsyncConnection {
public:
    static constexpr std::chrono::milliseconds window{2000};
    static constexpr qint64 maximumRead = 1024;

    AsyncConnection(QString host, quint16 port);

    // Starts the probe and returns at once; chunks in arrival order, then finish() or fail().
    // The probe owns itself until the stream has ended, so this object may go at any time.
    void connect(std::shared_ptr<Channel<QByteArray>> continuation, CancellationToken cancellation = {});

private:
    QString host_;
    quint16 port_;
};

} // namespace nerova
