// An unbounded queue between two threads, with one sending and one receiving end. Dropping an end
// closes the channel: the receiver sees the end once the queue is empty, the sender's next send fails.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vexlor::channel {

namespace detail {

template <class T>
struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> queue;
    bool sender_gone = false;
    bool receiver_gone = false;
};

}  // namespace detail

template <class T>
class Sender {
public:
    Sender() = default;
    explicit Sender(std::shared_ptr<detail::State<T>> s) : state_(std::move(s)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& o) noexcept {
        close();
        state_ = std::move(o.state_);
        return *this;
    }
    ~Sender() { close(); }

    // False, with the value dropped, when the receiver is gone.
    bool send(T value) {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->receiver_gone) return false;
            state_->queue.push_back(std::move(value));
        }
        state_->ready.notify_one();
        return true;
    }

    void close() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_gone = true;
        }
        state_->ready.notify_one();
        state_.reset();
    }

private:
    std::shared_ptr<detail::State<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<detail::State<T>> s) : state_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
        close();
        state_ = std::move(o.state_);
        return *this;
    }
    ~Receiver() { close(); }

    // The next value, waiting for it; none once the sender is gone and the queue is empty.
    std::optional<T> recv() {
        if (!state_) return std::nullopt;
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->queue.empty() || state_->sender_gone; });
        if (state_->queue.empty()) return std::nullopt;
        T v = std::move(state_->queue.front());
        state_->queue.pop_front();
        return v;
    }

    // As recv, waiting at most `timeout`: `timed_out` tells a value still to come from the end.
    template <class Rep, class Period>
    std::optional<T> recv_for(std::chrono::duration<Rep, Period> timeout, bool& timed_out) {
        timed_out = false;
        if (!state_) return std::nullopt;
        std::unique_lock lock(state_->mutex);
        if (!state_->ready.wait_for(lock, timeout, [&] { return !state_->queue.empty() || state_->sender_gone; })) {
            timed_out = true;
            return std::nullopt;
        }
        if (state_->queue.empty()) return std::nullopt;
        T v = std::move(state_->queue.front());
        state_->queue.pop_front();
        return v;
    }

    // Drops what is queued; later sends fail.
    void close() {
        if (!state_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_gone = true;
            dropped.swap(state_->queue);
        }
        state_.reset();
    }

private:
    std::shared_ptr<detail::State<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make() {
    auto s = std::make_shared<detail::State<T>>();
    return {Sender<T>(s), Receiver<T>(s)};
}

}  // namespace vexlor::channel
