#include "python/session.hpp"

#include <unistd.h>

#include <chrono>
#include <vector>

#include <nanobind/stl/string.h>

#include "device/device.hpp"
#include "python/args.hpp"
#include "python/away.hpp"
#include "python/callables.hpp"
#include "python/capabilities.hpp"
#include "python/classes.hpp"
#include "python/icc.hpp"
#include "python/scanning.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

// Every open Session object, so that interpreter exit can end the ones a daemon thread is using.
std::mutex live_mutex;
std::vector<PySession*> live;

// How long interpreter exit waits for a call to stop before it leaves the session to the process's end.
constexpr auto ENDING_WAIT = std::chrono::seconds(30);

PyObject* at_exit(PyObject*, PyObject*) {
    PySession::end_all();
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"_end_sessions", at_exit, METH_NOARGS, nullptr};

}  // namespace

void watch_exit() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    PyObject* atexit = PyImport_ImportModule("atexit");
    PyObject* function = atexit ? PyCFunction_New(&at_exit_def, nullptr) : nullptr;
    PyObject* done = function ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
    if (!done) PyErr_Clear();
    Py_XDECREF(done);
    Py_XDECREF(function);
    Py_XDECREF(atexit);
}

PySession::PySession(session::Session s) : pid_(::getpid()), inner_(std::move(s)) {
    std::lock_guard lock(live_mutex);
    live.push_back(this);
}

bool PySession::foreign() const { return ::getpid() != pid_; }

void PySession::not_ours() {
    PyErr_SetString(exception_type(Exception::ScannerError),
                    "this session belongs to the process that opened it, not to a process forked from it");
    throw nb::python_error();
}

void PySession::abandon() {
    // Neither the mutex (a thread of the parent may have held it at the fork) nor the unit.
    if (inner_) inner_->abandon();
    inner_.reset();
    dust_.release();
}

PySession::Held::Held(PySession& session, Interrupt& interrupt) : s(session) {
    if (s.owner_.load() == std::this_thread::get_id()) return;
    if (InCallback::active()) {
        if (!s.mutex_.try_lock()) {
            busy = true;
            return;
        }
    } else {
        while (!s.mutex_.try_lock_for(Interrupt::CHECK_EVERY)) {
            if (interrupt.check()) return;
        }
    }
    s.owner_.store(std::this_thread::get_id());
    ok = true;
}

PySession::Held::~Held() {
    if (!ok) return;
    s.owner_.store(std::thread::id{});
    s.mutex_.unlock();
}

Pending PySession::Held::refusal() const {
    if (busy) return Pending(Mapped{Exception::ScannerError, "session is busy in a call on another thread", {}, {}});
    if (s.ending_.load()) return closed();
    return Pending(Mapped{Exception::ScannerError, "session is already in a call on this thread", {}, {}});
}

PySession::Installed::Installed(session::Session& session, Interrupt& interrupt) : s(session), current(interrupt) {
    s.set_interrupt([&interrupt] { return interrupt.check(); });
}

PySession::Installed::~Installed() { s.set_interrupt({}); }

Pending PySession::closed() { return Pending(Mapped{Exception::ScannerError, "session is closed", {}, {}}); }

PySession::~PySession() {
    {
        std::lock_guard lock(live_mutex);
        std::erase(live, this);
    }
    if (foreign()) {
        abandon();
        return;
    }
    // Collected unclosed: the unit is released without holding up other Python threads.
    if (PyGILState_Check()) {
        Released release;
        std::lock_guard lock(mutex_);
        inner_.reset();
    } else {
        std::lock_guard lock(mutex_);
        inner_.reset();
    }
}

void PySession::close() {
    if (foreign()) {
        abandon();
        return;
    }
    Interrupt interrupt;
    std::optional<Pending> pending;
    {
        Released release;
        Held held(*this, interrupt);
        if (held.ok) {
            // Closing is clean-up: bounded, and Ctrl-C ends it (the unit may be left reserved).
            if (inner_) inner_->set_interrupt([&interrupt] { return interrupt.check(); });
            inner_.reset();
            dust_.release();
        } else if (!interrupt.fired()) {
            pending.emplace(held.refusal());
        }
    }
    if (interrupt.fired()) interrupt.raise();
    if (pending) pending->raise();
}

void PySession::end_all() {
    Released release;
    // From here on no other thread takes the interpreter lock: a call still running stops at its
    // next look for a signal, and its thread stays in C++ once it has let go of the unit.
    begin_exit();
    end_unit_work();
    // Held throughout, so no session is freed under us; a thread dropping one waits here.
    std::lock_guard lock(live_mutex);
    for (PySession* s : live) s->ending_.store(true);
    for (PySession* s : live) {
        if (s->foreign()) {
            s->abandon();
            continue;
        }
        // The call in progress sees `ending_` at its next wait, stops its pass and returns.
        if (!s->mutex_.try_lock_for(ENDING_WAIT)) continue;
        s->inner_.reset();
        s->mutex_.unlock();
    }
}

session::Session open_session(const device::Device& d) {
    Interrupt interrupt;
    std::optional<Pending> pending;
    std::optional<session::Session> opened;
    {
        UnitWork counted;
        Released release;
        if (auto t = d.open(); !t) {
            pending.emplace(convert(std::move(t).error()));
        } else if (auto s = session::Session::open(std::move(*t), clock::system(),
                                                    [&interrupt] { return interrupt.check(); });
                   !s) {
            // Cut short by Ctrl-C, the open ends cancelled: what Python raised stands for it.
            if (s.error().get_if<error::Error::Cancelled>()) interrupt.check_now();
            if (!interrupt.fired()) pending.emplace(convert(std::move(s).error()));
        } else {
            opened.emplace(std::move(*s));
        }
        if (!release.restore()) {
            // Interpreter exit: the unit is let go before this thread stops for good.
            opened.reset();
            counted.done();
            park();
        }
    }
    if (interrupt.fired()) interrupt.raise();
    if (pending) pending->raise();
    return std::move(*opened);
}

namespace {

[[noreturn]] void already_open(nb::handle self) {
    PyErr_Format(PyExc_TypeError, "'%s' object is already initialised", Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
}

// Session(location): the object nanobind allocated gets the session, or the exception is raised.
PyObject* init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"location", nullptr};
        PyObject* location = nullptr;
        parse_args(args, kwargs, "O:Session", names, &location);
        const std::string text = str_arg("Session", "location", location);
        if (nb::inst_ready(self)) already_open(self);
        // Only the unit at that location is asked who it is, on a thread of its own.
        auto chosen = away<std::expected<device::Device, device::SelectError>>(
            [text](const std::atomic<bool>& stop) { return device::locate(text, &stop); });
        if (!chosen) Pending(Mapped{Exception::DeviceNotFound, device::to_string(chosen.error()), {}, {}}).raise();
        session::Session opened = open_session(*chosen);
        if (nb::inst_ready(self)) {
            // Another thread's __init__ on the same object won while the lock was released.
            {
                Released release;
                session::Session dropped = std::move(opened);
            }
            already_open(self);
        }
        new (nb::inst_ptr<PySession>(self)) PySession(std::move(opened));
        nb::inst_mark_ready(self);
        return nb::none();
    });
}

PyObject* open_static(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"device", nullptr};
        PyObject* device_obj = nullptr;
        parse_args(args, kwargs, "O:open", names, &device_obj);
        if (!nb::isinstance<device::Device>(device_obj)) type_error("open", "device", "Device", device_obj);
        const device::Device d = instance<device::Device>(device_obj);
        return nb::cast(new PySession(open_session(d)), nb::rv_policy::take_ownership);
    });
}

// A unit method without arguments: one session operation, its value converted for Python.
template <class Op>
PyObject* run(PyObject* self, Op op) {
    return entry([&]() -> nb::object {
        PySession& s = instance<PySession>(self);
        if constexpr (std::is_void_v<decltype(s.with(op))>) {
            s.with(op);
            return nb::none();
        } else {
            return nb::cast(s.with(op));
        }
    });
}

PyObject* media_loaded(PyObject* self, PyObject*) {
    return run(self, [](session::Session& x) { return x.media_loaded(); });
}

PyObject* stage(PyObject* self, PyObject*) {
    return run(self, [](session::Session& x) { return x.stage(); });
}

PyObject* eject(PyObject* self, PyObject*) {
    return run(self, [](session::Session& x) { return x.eject(); });
}

PyObject* load(PyObject* self, PyObject*) {
    return run(self, [](session::Session& x) { return x.load(); });
}

PyObject* focus_position(PyObject* self, PyObject*) {
    return run(self, [](session::Session& x) { return x.focus_position(); });
}

// The methods with arguments convert them first: a bad argument raises before the session is touched.
PyObject* autofocus(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"x", "y", "color", nullptr};
        PyObject *x = nullptr, *y = nullptr, *color = Py_None;
        parse_args(args, kwargs, "OO|O:autofocus", names, &x, &y, &color);
        const auto ux = unsigned_as<std::uint32_t>("autofocus", "x", x);
        const auto uy = unsigned_as<std::uint32_t>("autofocus", "y", y);
        const auto c = optional_unsigned_as<std::uint8_t>("autofocus", "color", color);
        instance<PySession>(self).with([&](session::Session& z) { return z.autofocus(ux, uy, c); });
        return nb::none();
    });
}

PyObject* focus_to(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"position", nullptr};
        PyObject* position = nullptr;
        parse_args(args, kwargs, "O:focus_to", names, &position);
        const auto p = unsigned_as<std::uint16_t>("focus_to", "position", position);
        instance<PySession>(self).with([&](session::Session& z) { return z.focus_to(p); });
        return nb::none();
    });
}

PyObject* close_session(PyObject* self, PyObject*) {
    return entry([&] {
        instance<PySession>(self).close();
        return nb::none();
    });
}

PyObject* enter_block(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

// Any positional arguments, no keywords (METH_VARARGS alone refuses them).
PyObject* exit_block(PyObject* self, PyObject*) { return close_session(self, nullptr); }

// In the class's declared order.
PyMethodDef methods[] = {
    {"__init__", c_function(&init), METH_VARARGS | METH_KEYWORDS,
     "__init__($self, location)\n--\n\n"
     "Start a session against whatever `list_devices` reports at this `location`"},
    {"open", c_function(&open_static), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "open(device)\n--\n\nStart a session against `device`"},
    // The capabilities property goes here.
    {"media_loaded", c_function(&media_loaded), METH_NOARGS, "media_loaded($self)\n--\n\nWhether a holder is loaded"},
    {"stage", c_function(&stage), METH_NOARGS, "stage($self)\n--\n\nPut the unit in the state a scan expects"},
    {"eject", c_function(&eject), METH_NOARGS,
     "eject($self)\n--\n\nGive back whatever is loaded, answering whether the unit did anything"},
    {"load", c_function(&load), METH_NOARGS,
     "load($self)\n--\n\nTake in whatever the adapter has waiting, answering whether anything came"},
    {"discover_frames", c_function(&discover_frames), METH_VARARGS | METH_KEYWORDS, discover_frames_doc},
    {"scan_frame", c_function(&scan_frame), METH_VARARGS | METH_KEYWORDS, scan_frame_doc},
    {"meter_frame", c_function(&meter_frame), METH_VARARGS | METH_KEYWORDS, meter_frame_doc},
    {"focus_frame", c_function(&focus_frame), METH_VARARGS | METH_KEYWORDS, focus_frame_doc},
    {"autofocus", c_function(&autofocus), METH_VARARGS | METH_KEYWORDS,
     "autofocus($self, x, y, color=None)\n--\n\nAutofocus on the point `(x, y)`, in frame addresses"},
    {"focus_to", c_function(&focus_to), METH_VARARGS | METH_KEYWORDS,
     "focus_to($self, position)\n--\n\n"
     "Move the lens to `position`. The position must be in `Capabilities.focus_range`"},
    {"focus_position", c_function(&focus_position), METH_NOARGS,
     "focus_position($self)\n--\n\nThe current lens position, in the units that `focus_to` uses"},
    {"icc_profile", c_function(&icc::icc_profile), METH_VARARGS | METH_KEYWORDS, icc::icc_profile_doc},
    {"close", c_function(&close_session), METH_NOARGS,
     "close($self)\n--\n\nDrop the hold on the scanner. A closed session refuses every other method"},
    {"__enter__", c_function(&enter_block), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", c_function(&exit_block), METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
};

}  // namespace

void add_session_class(nb::module_& m) {
    if (add_existing_class<PySession>(m, "Session")) return;
    auto cls = nb::class_<PySession>(m, "Session", "Session(location)\n--\n\nAn open, exclusive hold of a scanner");
    // In declared order: the constructor and open, the capabilities property, then the rest.
    constexpr std::size_t before_capabilities = 2;
    add_methods(cls, std::span(methods).first(before_capabilities));
    cls.def_prop_ro(
        "capabilities",
        [](nb::handle self) {
            return instance<PySession>(self).with(
                [](session::Session& z) -> error::Result<Capabilities> { return Capabilities::of(z.caps); });
        },
        "What the scanner says it can do");
    add_methods(cls, std::span(methods).subspan(before_capabilities));
}

}  // namespace vexlor::python
