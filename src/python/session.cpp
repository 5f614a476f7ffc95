#include "python/session.hpp"

#include <nanobind/stl/string.h>

#include "device/device.hpp"
#include "python/args.hpp"
#include "try.hpp"

namespace nb = nanobind;

namespace vexlor::python {

PySession::Held::Held(PySession& session) : s(session) {
    if (s.owner_.load() == std::this_thread::get_id()) return;
    s.mutex_.lock();
    s.owner_.store(std::this_thread::get_id());
    ok = true;
}

PySession::Held::~Held() {
    if (!ok) return;
    s.owner_.store(std::thread::id{});
    s.mutex_.unlock();
}

Pending PySession::Held::refusal() const {
    return Pending(Mapped{Exception::ScannerError, "session is already in a call on this thread", {}, {}});
}

Pending PySession::closed() { return Pending(Mapped{Exception::ScannerError, "session is closed", {}, {}}); }

PySession::~PySession() {
    // Collected unclosed: the unit is released without holding up other Python threads.
    if (PyGILState_Check()) {
        nb::gil_scoped_release release;
        std::lock_guard lock(mutex_);
        inner_.reset();
    } else {
        std::lock_guard lock(mutex_);
        inner_.reset();
    }
}

void PySession::close() {
    std::optional<Pending> pending;
    {
        nb::gil_scoped_release release;
        Held held(*this);
        if (held.ok) {
            inner_.reset();
        } else {
            pending.emplace(held.refusal());
        }
    }
    if (pending) pending->raise();
}

namespace {

// Opens a session on a transport, or the error for the caller; needs no interpreter lock.
error::Result<session::Session> open_device(const device::Device& d) {
    VX_TRY(auto transport, d.open());
    return session::Session::open(std::move(transport));
}

// The object under construction gets the session, or the exception is raised.
void finish(PySession* self, std::optional<Pending>& pending, std::optional<session::Session>& opened) {
    if (pending) pending->raise();
    new (self) PySession(std::move(*opened));
}

void init_by_location(PySession* self, nb::handle location) {
    const std::string text = str_arg("Session", "location", location);
    std::optional<Pending> pending;
    std::optional<session::Session> opened;
    {
        nb::gil_scoped_release release;
        const auto devices = device::list();
        const auto chosen = device::Selector::location(text).resolve(devices);
        if (!chosen) {
            pending.emplace(Mapped{Exception::DeviceNotFound, device::to_string(chosen.error()), {}, {}});
        } else if (auto s = open_device(**chosen); !s) {
            pending.emplace(convert(std::move(s).error()));
        } else {
            opened.emplace(std::move(*s));
        }
    }
    finish(self, pending, opened);
}

PySession* open_static(nb::handle device_obj) {
    if (!nb::isinstance<device::Device>(device_obj)) type_error("open", "device", "Device", device_obj);
    const device::Device d = nb::cast<device::Device>(device_obj);
    std::optional<Pending> pending;
    std::optional<session::Session> opened;
    {
        nb::gil_scoped_release release;
        if (auto s = open_device(d); !s) {
            pending.emplace(convert(std::move(s).error()));
        } else {
            opened.emplace(std::move(*s));
        }
    }
    if (pending) pending->raise();
    return new PySession(std::move(*opened));
}

}  // namespace

void add_session_class(nb::module_& m) {
    nb::class_<PySession>(m, "Session", "An open, exclusive hold of a scanner")
        .def("__init__", &init_by_location, nb::arg("location"), nb::sig("def __init__(self, location: str) -> None"),
             "Start a session against whatever `list_devices` reports at this `location`")
        .def_static("open", &open_static, nb::arg("device"), nb::rv_policy::take_ownership,
                    nb::sig("def open(device: Device) -> Session"), "Start a session against `device`")
        .def("media_loaded", [](PySession& s) { return s.with([](session::Session& x) { return x.media_loaded(); }); },
             nb::sig("def media_loaded(self) -> bool"), "Whether a holder is loaded")
        .def("stage", [](PySession& s) { s.with([](session::Session& x) { return x.stage(); }); },
             nb::sig("def stage(self) -> None"), "Put the unit in the state a scan expects")
        .def("eject", [](PySession& s) { return s.with([](session::Session& x) { return x.eject(); }); },
             nb::sig("def eject(self) -> bool"), "Give back whatever is loaded, answering whether the unit did anything")
        .def("load", [](PySession& s) { return s.with([](session::Session& x) { return x.load(); }); },
             nb::sig("def load(self) -> bool"), "Take in whatever the adapter has waiting, answering whether anything came")
        .def(
            "autofocus",
            [](PySession& s, nb::handle x, nb::handle y, nb::handle color) {
                const auto ux = unsigned_as<std::uint32_t>("autofocus", "x", x);
                const auto uy = unsigned_as<std::uint32_t>("autofocus", "y", y);
                const auto c = optional_unsigned_as<std::uint8_t>("autofocus", "color", color);
                s.with([&](session::Session& z) { return z.autofocus(ux, uy, c); });
            },
            nb::arg("x"), nb::arg("y"), nb::arg("color") = nb::none(),
            nb::sig("def autofocus(self, x: int, y: int, color: int | None = None) -> None"),
            "Autofocus on the point `(x, y)`, in frame addresses")
        .def(
            "focus_to",
            [](PySession& s, nb::handle position) {
                const auto p = unsigned_as<std::uint16_t>("focus_to", "position", position);
                s.with([&](session::Session& z) { return z.focus_to(p); });
            },
            nb::arg("position"), nb::sig("def focus_to(self, position: int) -> None"),
            "Move the lens to `position`. The position must be in `Capabilities.focus_range`")
        .def("focus_position", [](PySession& s) { return s.with([](session::Session& x) { return x.focus_position(); }); },
             nb::sig("def focus_position(self) -> int"), "The current lens position, in the units that `focus_to` uses")
        .def("close", &PySession::close, nb::sig("def close(self) -> None"),
             "Drop the hold on the scanner. A closed session refuses every other method")
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); }, nb::sig("def __enter__(self) -> Session"))
        .def("__exit__", [](PySession& s, nb::args) { s.close(); }, nb::sig("def __exit__(self, *_args) -> None"));
}

}  // namespace vexlor::python
