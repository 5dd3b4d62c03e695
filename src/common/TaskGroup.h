#pragma once

#include <QCoro/QCoroTask>
#include <QtGlobal>

#include <coroutine>
#include <deque>
#include <exception>
#include <memory>
#include <optional>

namespace nerova {

// Runs child tasks side by side on the event loop and hands their results back in the order in
// which the children finish. QCoro has neither whenAll nor cancellation, so a group never stops a
// child by itself: when a child raises, the group stops handing out results, waits until every
// other child has finished, and only then raises the first error. A consumer that knows its answer
// before every child has finished cancels the rest through a CancellationToken that the children
// watch, and then drains the group as usual: the cancelled children end at once.
//
// Usage: add() the children, then call `co_await next()` until it yields nothing (all children
// finished) or raises. A consumer that drains the group this way never leaves a child running
// behind it. One consumer at a time; main thread only.
//
// A waiting consumer is resumed directly by the child that finishes, inside whatever resumed that
// child (a signal of a network reply, for example): it must not destroy the emitter there.
template <typename T>
class TaskGroup {
    struct State;

public:
    TaskGroup() = default;
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;
    ~TaskGroup() { Q_ASSERT_X(state_->running == 0, "TaskGroup", "destroyed while children are still running"); }

    // Adopts a started child. QCoro tasks start eagerly, so a child that never suspends has
    // finished already and its result is waiting when add() returns.
    void add(QCoro::Task<T> child)
    {
        ++state_->running;
        watch(state_, std::move(child));
    }

    // Children that have not finished yet.
    int running() const { return state_->running; }

    class NextAwaiter {
    public:
        explicit NextAwaiter(std::shared_ptr<State> state) : state_(std::move(state)) {}
        bool await_ready() const noexcept { return state_->hasAnswer(); }
        void await_suspend(std::coroutine_handle<> consumer) noexcept { state_->consumer = consumer; }
        std::optional<T> await_resume() { return state_->takeAnswer(); }

    private:
        std::shared_ptr<State> state_;
    };

    // The next result in completion order; nothing once every child has finished. Raises the
    // first error of any child, after every child has finished.
    NextAwaiter next() { return NextAwaiter(state_); }

private:
    struct State {
        std::deque<T> results;
        std::exception_ptr firstError;
        int running = 0;
        std::coroutine_handle<> consumer;

        // Results are handed out only while no child has failed; after a failure the consumer
        // waits for the last child.
        bool hasAnswer() const { return (!firstError && !results.empty()) || running == 0; }

        std::optional<T> takeAnswer()
        {
            if (!firstError && !results.empty()) {
                std::optional<T> result(std::move(results.front()));
                results.pop_front();
                return result;
            }
            if (firstError) {
                std::rethrow_exception(firstError);
            }
            return std::nullopt;
        }

        void wakeConsumer()
        {
            if (consumer && hasAnswer()) {
                // Resuming may let the consumer finish and destroy the group: nothing touches
                // the group after this point, and the caller holds the state alive.
                std::exchange(consumer, nullptr).resume();
            }
        }
    };

    // Awaits one child and files its outcome. Holds the state so that it stays valid whatever
    // the consumer does when it is woken.
    static QCoro::Task<void> watch(std::shared_ptr<State> state, QCoro::Task<T> child)
    {
        try {
            T result = co_await child;
            state->results.push_back(std::move(result));
        } catch (...) {
            if (!state->firstError) {
                state->firstError = std::current_exception();
            }
        }
        --state->running;
        state->wakeConsumer();
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace nerova
