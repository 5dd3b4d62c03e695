#pragma once

#include "network/PingError.h"
#include "network/SimplePinger.h"

#include <QCoro/QCoroTask>

namespace nerova::test {

// "reply" (a time within the timeout) or the error's description; waitFor() cannot carry exceptions.
inline QCoro::Task<QString> pingOutcome(SimplePinger& pinger, QString host, double timeout)
{
    try {
        const double seconds = co_await pinger.ping(host, timeout);
        co_return seconds >= 0 && seconds < timeout ? QStringLiteral("reply") : QStringLiteral("odd time");
    } catch (const PingError& error) {
        co_return error.description();
    }
}

} // namespace nerova::test
