#pragma once

#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace nerova {

// Calls `stop` from the event loop when the process receives SIGINT or SIGTERM, while it lives.
// One instance at a time; the previous handlers come back on destruction.
class StopSignals {
public:
    explicit StopSignals(std::function<void()> stop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::function<void()> stop_;
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace nerova
