#include "python/convert.hpp"

#include <array>
#include <memory>

#include <nanobind/ndarray.h>

#include "protocol/window.hpp"
#include "python/args.hpp"
#include "python/interrupt.hpp"
#include "python/lock.hpp"

namespace nb = nanobind;

namespace vexlor::python {

using protocol::window::Channel;

namespace {

// NumPy's boolean scalar type when NumPy is loaded; a NumPy bool cannot exist before that.
bool is_numpy_bool(PyObject* o) {
    PyObject* numpy = PyImport_GetModule(nb::str("numpy").ptr());
    if (!numpy) {
        PyErr_Clear();
        return false;
    }
    PyObject* type = PyObject_GetAttrString(numpy, "bool_");
    Py_DECREF(numpy);
    if (!type) {
        PyErr_Clear();
        return false;
    }
    const int is = PyObject_IsInstance(o, type);
    Py_DECREF(type);
    if (is < 0) PyErr_Clear();
    return is == 1;
}

bool says_stop(PyObject* answer) {
    if (PyBool_Check(answer)) return answer == Py_False;
    if (!is_numpy_bool(answer)) return false;
    const int truth = PyObject_IsTrue(answer);
    if (truth < 0) PyErr_Clear();
    return truth == 0;
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!p) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(size));
}

[[noreturn]] void bad_focus(nb::handle object) {
    nb::str shown = nb::str(object);
    raise_message(PyExc_ValueError, "focus is \"auto\", \"hold\", a position, or an (x, y) point, not " + utf8(shown));
}

bool ascii_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool report(PyObject* callback, std::string_view stage, std::size_t index, const session::scan::Progress& progress,
            bool* reported) {
    if (!callback) return false;
    Acquired gil;
    // Interpreter exit: the pass stops without the callback.
    if (!gil.held()) return true;
    PyObject* args[] = {
        PyUnicode_FromStringAndSize(stage.data(), static_cast<Py_ssize_t>(stage.size())),
        PyLong_FromSize_t(index),
        PyLong_FromUnsignedLongLong(progress.bytes_done),
        PyLong_FromUnsignedLongLong(progress.bytes_total),
    };
    bool stop = false;
    if (args[0] && args[1] && args[2] && args[3]) {
        PyObject* answer = nullptr;
        {
            const InCallback inside;
            answer = PyObject_Vectorcall(callback, args, 4, nullptr);
        }
        if (answer) {
            stop = says_stop(answer);
            Py_DECREF(answer);
        }
    }
    for (PyObject* a : args) Py_XDECREF(a);
    if (!PyErr_Occurred()) return stop;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        // KeyboardInterrupt or SystemExit stops the call and is raised when it returns.
        if (Interrupt* interrupt = current_interrupt(); interrupt && interrupt->keep_if_fatal()) return true;
    } else if (reported && !*reported) {
        // An ordinary exception does not stop the pass, but a caller's bug should not go unseen:
        // it is reported as CPython reports what it cannot raise, the first of each call only.
        *reported = true;
        PyErr_WriteUnraisable(callback);
    }
    PyErr_Clear();
    return stop;
}

scan::focus::Focus focus_from(nb::handle object) {
    using scan::focus::Focus;
    PyObject* o = object.ptr();
    if (!o || o == Py_None) return Focus{Focus::Auto{}};
    if (PyBool_Check(o)) {
        // An int to Python, but True is no lens position.
        raise_message(PyExc_TypeError,
                      "focus is \"auto\", \"hold\", a position, or an (x, y) point, not " + utf8(nb::str(object)));
    }
    if (PyLong_Check(o)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) && v <= UINT16_MAX) {
            return Focus{Focus::Position{static_cast<std::uint16_t>(v)}};
        }
        PyErr_Clear();
        bad_focus(object);
    }
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
        const double x = PyFloat_AsDouble(PyTuple_GET_ITEM(o, 0));
        if (!PyErr_Occurred()) {
            const double y = PyFloat_AsDouble(PyTuple_GET_ITEM(o, 1));
            if (!PyErr_Occurred()) {
                const float fx = static_cast<float>(x), fy = static_cast<float>(y);
                // A point outside the frame would be clamped onto its edge, NaN onto its corner.
                const auto inside = [](float f) { return f >= 0.0f && f <= 1.0f; };
                if (!inside(fx) || !inside(fy)) {
                    raise_message(PyExc_ValueError, "focus point " + utf8(nb::str(object)) +
                                                        " must lie inside the frame: each is a fraction from 0 to 1");
                }
                return Focus{Focus::Auto{std::nullopt, fx, fy}};
            }
        }
        // A number's conversion ran Python code: KeyboardInterrupt and the like are raised as they are.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        PyErr_Clear();
    }
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* p = PyUnicode_AsUTF8AndSize(o, &size);
        if (!p) PyErr_Clear();
        const std::string_view text = p ? std::string_view(p, static_cast<std::size_t>(size)) : std::string_view();
        if (ascii_equal(text, "auto")) return Focus{Focus::Auto{}};
        if (ascii_equal(text, "hold")) return Focus{Focus::Hold{}};
    }
    bad_focus(object);
}

scan::autoexpose::Exposures exposures_from(const char* function, nb::handle dict) {
    if (!PyDict_Check(dict.ptr())) type_error(function, "exposures", "dict", dict);
    static constexpr std::array<std::pair<std::string_view, Channel::Kind>, 5> names{{
        {"red", Channel::Kind::Red},
        {"green", Channel::Kind::Green},
        {"blue", Channel::Kind::Blue},
        {"neutralgray", Channel::Kind::NeutralGray},
        {"infrared", Channel::Kind::Infrared},
    }};
    scan::autoexpose::Exposures::Map map;
    // Copied first: converting a value runs no Python code, but lower() on a str subclass could.
    nb::list items = nb::steal<nb::list>(PyDict_Items(dict.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : items) {
        nb::handle key = item[0];
        nb::handle value = item[1];
        if (!PyUnicode_Check(key.ptr())) type_error(function, "exposures", "a dict with str keys", key);
        const auto time = unsigned_as<std::uint32_t>(function, "exposures", value);
        nb::object folded = nb::borrow(key);
        if (!PyUnicode_CheckExact(key.ptr())) {
            // A subclass may lower-case its own way; what it raises is raised.
            folded = nb::steal(PyObject_CallMethod(key.ptr(), "lower", nullptr));
            if (!folded.is_valid()) throw nb::python_error();
            if (!PyUnicode_Check(folded.ptr())) type_error(function, "exposures", "a dict whose keys lower() to str", folded);
        }
        Channel channel = Channel::of(Channel::Kind::Default);
        // Only ASCII text lower-cases onto a channel's name: no other character's lower case is one
        // of their letters. So ASCII folding is the full mapping here, and runs no Python code.
        if (PyUnicode_IS_ASCII(folded.ptr())) {
            const std::string text = utf8(folded);
            for (const auto& [name, kind] : names) {
                if (ascii_equal(text, name)) channel = Channel::of(kind);
            }
        }
        // Two keys that fold to one channel: the later one in the dict wins.
        map[channel] = time;
    }
    return scan::autoexpose::Exposures(std::move(map));
}

std::string channel_name(std::uint8_t code) {
    switch (Channel(code).kind()) {
        case Channel::Kind::Default: return "default";
        case Channel::Kind::Red: return "red";
        case Channel::Kind::Green: return "green";
        case Channel::Kind::Blue: return "blue";
        case Channel::Kind::NeutralGray: return "neutralgray";
        case Channel::Kind::Infrared: return "infrared";
        case Channel::Kind::Other: break;
    }
    return "other(" + std::to_string(code) + ")";
}

nb::object plane_to_numpy(std::vector<std::uint16_t> plane, std::size_t rows, std::size_t cols) {
    if (plane.size() != rows * cols) {
        raise_message(PyExc_RuntimeError, "a sample plane holds " + std::to_string(plane.size()) + " samples, not " +
                                              std::to_string(rows) + " x " + std::to_string(cols));
    }
    auto owned = std::make_unique<std::vector<std::uint16_t>>(std::move(plane));
    std::uint16_t* data = owned->data();
    nb::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<std::vector<std::uint16_t>*>(p); });
    static_cast<void>(owned.release());
    nb::ndarray<nb::numpy, std::uint16_t, nb::ndim<2>> array(data, {rows, cols}, owner);
    return array.cast();
}

}  // namespace vexlor::python
