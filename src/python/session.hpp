// vexlor.Session: one session::Session behind a mutex. Every call releases the interpreter lock
// before it takes the mutex, and takes the lock again only for short steps while holding it.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include <nanobind/nanobind.h>

#include "dust/dust.hpp"
#include "python/errors.hpp"
#include "session/session.hpp"

namespace vexlor::python {

class PySession {
public:
    explicit PySession(session::Session s) : inner_(std::move(s)) {}
    ~PySession();

    // Runs `op` on the open session with the interpreter lock released; converts its error while
    // the mutex is held and raises it after the lock is taken again. `op` returns a Result.
    template <class Op>
    auto with(Op&& op) -> typename std::invoke_result_t<Op, session::Session&>::value_type {
        using R = std::invoke_result_t<Op, session::Session&>;
        using T = typename R::value_type;
        std::optional<Pending> pending;
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
        {
            nanobind::gil_scoped_release release;
            Held held(*this);
            if (!held.ok) {
                pending.emplace(held.refusal());
            } else if (!inner_) {
                pending.emplace(closed());
            } else {
                R r = op(*inner_);
                if (!r) {
                    pending.emplace(convert(std::move(r).error()));
                } else if constexpr (std::is_void_v<T>) {
                    value = true;
                } else {
                    value = std::move(*r);
                }
            }
        }
        if (pending) pending->raise();
        if constexpr (!std::is_void_v<T>) return std::move(*value);
    }

    // Drops the session (releasing the unit) with the interpreter lock released.
    void close();

    // Dust removal's images, kept from frame to frame of a roll; only used inside `with`.
    dust::Workspace& dust_workspace() { return dust_; }

private:
    // The session mutex, refused to a call made from inside a call on this thread (a progress
    // callback calling back into its own session would otherwise wait for ever).
    struct Held {
        explicit Held(PySession& s);
        ~Held();
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        Pending refusal() const;
        PySession& s;
        bool ok = false;
    };
    static Pending closed();

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    std::optional<session::Session> inner_;
    dust::Workspace dust_;
};

void add_session_class(nanobind::module_& m);

}  // namespace vexlor::python
