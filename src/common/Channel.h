#pragma once

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QMetaObject>

#include <coroutine>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace nerova {

// An unbounded first-in first-out stream with one consumer, used on the main thread only.
// Producers send values and end the stream once, normally or with an error; the consumer awaits
// the values one at a time. Values sent before the consumer waits are kept, so nothing is lost.
//
// The waiting consumer is resumed from the event loop, never from inside send(), finish() or
// fail(): a producer may therefore end the stream from any of its callbacks without the consumer
// running (and perhaps destroying the producer) in the middle of them. A channel destroyed while
// its consumer waits ends the stream and resumes the consumer at once, before its members go, so
// that the consumer's coroutines finish instead of staying suspended for ever; a consumer that may
// outlive the channel must check, after the wait, whatever it needs before it touches anything else.
template <typename T>
class Channel {
public:
    Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel()
    {
        *alive_ = false;
        ended_ = true;
        values_.clear();
        if (const std::coroutine_handle<> consumer = std::exchange(consumer_, nullptr)) {
            consumer.resume();
        }
    }

    // Appends a value; ignored once the stream has ended.
    void send(T value)
    {
        if (ended_) {
            return;
        }
        values_.push_back(std::move(value));
        wakeConsumer();
    }

    // Ends the stream normally; ignored once the stream has ended.
    void finish()
    {
        if (ended_) {
            return;
        }
        ended_ = true;
        wakeConsumer();
    }

    // Ends the stream with an error; ignored once the stream has ended.
    void fail(std::exception_ptr error)
    {
        if (ended_) {
            return;
        }
        ended_ = true;
        error_ = std::move(error);
        wakeConsumer();
    }

    // True once finish() or fail() was called (values may still wait to be received).
    bool isFinished() const { return ended_; }

    // The next value; nothing once the stream has ended normally and every value was received;
    // raises the stream's error once it has ended with one and every value was received.
    QCoro::Task<std::optional<T>> receive()
    {
        if (values_.empty() && !ended_) {
            WaitForProducer wait(*this);
            co_await wait;
        }
        if (!values_.empty()) {
            std::optional<T> value(std::move(values_.front()));
            values_.pop_front();
            co_return value;
        }
        if (error_) {
            std::rethrow_exception(error_);
        }
        co_return std::nullopt;
    }

private:
    class WaitForProducer {
    public:
        explicit WaitForProducer(Channel& channel) : channel_(channel) {}
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> consumer) noexcept { channel_.consumer_ = consumer; }
        void await_resume() const noexcept {}

    private:
        Channel& channel_;
    };

    // Resumes the waiting consumer from the event loop, once however often it is called meanwhile.
    void wakeConsumer()
    {
        if (!consumer_ || wakeQueued_) {
            return;
        }
        wakeQueued_ = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, alive = alive_] {
                if (!*alive) {
                    return; // the destructor has resumed the consumer already
                }
                wakeQueued_ = false;
                if (const std::coroutine_handle<> consumer = std::exchange(consumer_, nullptr)) {
                    consumer.resume();
                }
            },
            Qt::QueuedConnection);
    }

    std::deque<T> values_;
    bool ended_ = false;
    std::exception_ptr error_;
    std::coroutine_handle<> consumer_;
    bool wakeQueued_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace nerova
