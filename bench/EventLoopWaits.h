#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace nerova::bench {

// Runs the event loop for `milliseconds`.
inline void runEventLoopFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `timeoutMs` passed, looking every `stepMs`.
inline bool runUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 20)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < timeoutMs) {
        runEventLoopFor(stepMs);
    }
    return done();
}

} // namespace nerova::bench
