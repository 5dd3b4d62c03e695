#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace nerova {

// How an operation that was cancelled ends. Deliberately not a std::exception: handlers that turn
// failures into outcomes (`catch (const std::exception&)`) let it pass, so that it reaches the
// code that cancelled the operation, which knows that nothing went wrong.
class OperationCancelled final {};

// The watching side of a cancellation: cheap to copy, and all copies see the same state. A
// default-made token is never cancelled. Main thread only.
class CancellationToken {
    struct State {
        bool cancelled = false;
        std::uint64_t nextId = 0;
        std::map<std::uint64_t, std::function<void()>> callbacks;
    };

public:
    // Keeps a callback registered while it lives; the callback never runs once it has gone.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration&& other) noexcept : state_(std::move(other.state_)), id_(other.id_) {}
        Registration& operator=(Registration&& other) noexcept
        {
            if (this != &other) {
                reset();
                state_ = std::move(other.state_);
                id_ = other.id_;
            }
            return *this;
        }
        ~Registration() { reset(); }

        void reset()
        {
            if (const std::shared_ptr<State> state = std::exchange(state_, {}).lock()) {
                state->callbacks.erase(id_);
            }
        }

    private:
        friend class CancellationToken;
        Registration(const std::shared_ptr<State>& state, std::uint64_t id) : state_(state), id_(id) {}

        std::weak_ptr<State> state_;
        std::uint64_t id_ = 0;
    };

    CancellationToken() = default;

    bool isCancelled() const { return state_ && state_->cancelled; }

    // Throws OperationCancelled once cancelled.
    void throwIfCancelled() const
    {
        if (isCancelled()) {
            throw OperationCancelled();
        }
    }

    // Runs `callback` once when the token is cancelled: at once when it is already, else inside
    // cancel(). The callback must not throw; it may drop any registration, its own included.
    [[nodiscard]] Registration onCancel(std::function<void()> callback) const
    {
        if (!state_) {
            return {};
        }
        if (state_->cancelled) {
            callback();
            return {};
        }
        const std::uint64_t id = state_->nextId++;
        state_->callbacks.emplace(id, std::move(callback));
        return Registration(state_, id);
    }

private:
    friend class CancellationSource;
    explicit CancellationToken(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::shared_ptr<State> state_;
};

// The cancelling side: hands out tokens and cancels them all at once.
class CancellationSource {
public:
    CancellationSource() = default;
    CancellationSource(const CancellationSource&) = delete;
    CancellationSource& operator=(const CancellationSource&) = delete;

    CancellationToken token() const { return CancellationToken(state_); }
    bool isCancelled() const { return state_->cancelled; }

    // Cancels every token of this source, once, and runs their callbacks in the order they were
    // registered. A callback dropped by one that ran before it does not run.
    void cancel()
    {
        if (state_->cancelled) {
            return;
        }
        state_->cancelled = true;
        const auto state = state_; // the callbacks may end whoever owns this source
        while (!state->callbacks.empty()) {
            const auto first = state->callbacks.begin();
            const std::function<void()> callback = std::move(first->second);
            state->callbacks.erase(first);
            callback();
        }
    }

private:
    std::shared_ptr<CancellationToken::State> state_ = std::make_shared<CancellationToken::State>();
};

} // namespace nerova
