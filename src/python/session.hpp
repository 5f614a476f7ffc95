// vexlor.Session: one session::Session behind a mutex. Every call releases the interpreter lock
// before it takes the mutex, and takes the lock again only for short steps while holding it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include <nanobind/nanobind.h>

#include "device/device.hpp"
#include "dust/dust.hpp"
#include "python/errors.hpp"
#include "python/interrupt.hpp"
#include "python/lock.hpp"
#include "session/session.hpp"

namespace vexlor::python {

class PySession {
public:
    explicit PySession(session::Session s);
    ~PySession();

    // Runs `op` on the open session with the interpreter lock released; converts its error while
    // the mutex is held and raises it after the lock is taken again. `op` returns a Result. A
    // signal, or a callback's KeyboardInterrupt or SystemExit, stops the call as a cancel does and
    // is raised in place of its outcome.
    template <class Op>
    auto with(Op&& op) -> typename std::invoke_result_t<Op, session::Session&>::value_type {
        using R = std::invoke_result_t<Op, session::Session&>;
        using T = typename R::value_type;
        if (foreign()) not_ours();
        Interrupt interrupt(&ending_);
        std::optional<Pending> pending;
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
        {
            Released release;
            Held held(*this, interrupt);
            if (!held.ok) {
                if (!interrupt.fired()) pending.emplace(held.refusal());
            } else if (!inner_) {
                pending.emplace(closed());
            } else {
                const Installed installed(*inner_, interrupt);
                R r = op(*inner_);
                // A command cut short by Ctrl-C ends cancelled: what Python raised stands for it.
                if (!r && r.error().template get_if<error::Error::Cancelled>()) interrupt.check_now();
                if (interrupt.fired()) {
                    // What Python raised stands for the outcome.
                } else if (!r) {
                    pending.emplace(convert(std::move(r).error()));
                } else if constexpr (std::is_void_v<T>) {
                    value = true;
                } else {
                    value = std::move(*r);
                }
            }
        }
        if (interrupt.fired()) interrupt.raise();
        if (pending) pending->raise();
        if constexpr (!std::is_void_v<T>) return std::move(*value);
    }

    // Drops the session (releasing the unit) with the interpreter lock released. In a forked
    // child it only closes the child's copies of the link.
    void close();

    // At interpreter exit: stops what every open session is doing and drops it.
    static void end_all();

    // Dust removal's images, kept from frame to frame of a roll; only used inside `with`.
    dust::Workspace& dust_workspace() { return dust_; }

private:
    // A session belongs to the process that opened it: a forked child shares the parent's link
    // (the open descriptors, the claim, the reservation) and must not talk to the unit.
    bool foreign() const;
    [[noreturn]] static void not_ours();
    // In a forked child: lets go of the child's copies of the link without a word to the unit.
    void abandon();

    // The session mutex. A call made from inside a call on this thread is refused (it would wait
    // for ever), and so is one made from inside a progress callback while the session is in a
    // call on another thread (two callbacks calling into each other's sessions would wait for
    // each other for ever). Waiting, the call still answers Ctrl-C.
    struct Held {
        Held(PySession& s, Interrupt& interrupt);
        ~Held();
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        Pending refusal() const;
        PySession& s;
        bool ok = false;
        bool busy = false;
    };
    // The interrupt, asked by the session's waits and the progress bridge, for one call.
    struct Installed {
        Installed(session::Session& s, Interrupt& interrupt);
        ~Installed();
        Installed(const Installed&) = delete;
        Installed& operator=(const Installed&) = delete;
        session::Session& s;
        CurrentInterrupt current;
    };
    static Pending closed();

    std::timed_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    std::atomic<bool> ending_{false};
    const pid_t pid_;
    std::optional<session::Session> inner_;
    dust::Workspace dust_;
};

// Registers, once per process, the exit handler that ends open sessions, opens and listings
// before the interpreter shuts other threads out. Needs the interpreter lock.
void watch_exit();

// Opens a session with the interpreter lock released; a signal while the unit is waited for
// stops the open and is raised.
session::Session open_session(const device::Device& d);

void add_session_class(nanobind::module_& m);

}  // namespace vexlor::python
