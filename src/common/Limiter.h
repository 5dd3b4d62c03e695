#pragma once

#include "common/CancellationToken.h"
#include "common/Channel.h"

#include <QCoro/QCoroTask>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>
#include <utility>

namespace nerova {

// Lets at most `capacity` holders run at once; the others wait for a slot, first come first
// served. A slot is held by a Permit and passes on when the permit goes. Main thread only; the
// limiter must outlive every permit and every pending acquire().
class Limiter {
public:
    class Permit {
    public:
        Permit(Permit&& other) noexcept : limiter_(std::exchange(other.limiter_, nullptr)) {}
        Permit& operator=(Permit&&) = delete;
        ~Permit()
        {
            if (limiter_) {
                limiter_->release();
            }
        }

    private:
        friend class Limiter;
        explicit Permit(Limiter* limiter) : limiter_(limiter) {}

        Limiter* limiter_;
    };

    explicit Limiter(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}
    Limiter(const Limiter&) = delete;
    Limiter& operator=(const Limiter&) = delete;

    std::size_t capacity() const { return capacity_; }

    // A slot; raises OperationCancelled when `cancellation` is cancelled before one is held, and
    // then leaves the queue at once.
    QCoro::Task<Permit> acquire(CancellationToken cancellation = {})
    {
        cancellation.throwIfCancelled();
        if (inUse_ < capacity_) {
            ++inUse_;
            co_return Permit(this);
        }
        const auto turn = std::make_shared<Channel<bool>>();
        waiting_.push_back(turn);
        const CancellationToken::Registration leave = cancellation.onCancel([this, turn] {
            // Still in the queue: no slot was handed over.
            if (const auto found = std::find(waiting_.begin(), waiting_.end(), turn); found != waiting_.end()) {
                waiting_.erase(found);
                turn->fail(std::make_exception_ptr(OperationCancelled()));
            }
        });
        co_await turn->receive(); // the slot is handed over as it is, still counted in use
        Permit permit(this);
        cancellation.throwIfCancelled(); // handed over, then cancelled before this resumed: passed on
        co_return permit;
    }

private:
    void release()
    {
        if (waiting_.empty()) {
            --inUse_;
            return;
        }
        waiting_.front()->send(true);
        waiting_.pop_front();
    }

    std::size_t capacity_;
    std::size_t inUse_ = 0;
    std::deque<std::shared_ptr<Channel<bool>>> waiting_;
};

} // namespace nerova
