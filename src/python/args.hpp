// Argument binding and conversion with the errors a Python caller expects: CPython's own for
// missing, surplus or unknown arguments, a TypeError naming the argument for a wrong type, an
// OverflowError for an integer outside its range.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>

namespace vexlor::python {

// Binds a call's positional and keyword arguments to `names` (ending in nullptr) by CPython's
// rules: `format` has one "O" per name, "|" before the optional ones (left untouched when
// absent), then ":" and the name for messages.
template <class... Out>
void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const (&names)[sizeof...(Out) + 1],
                Out**... out) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), out...)) {
        throw nanobind::python_error();
    }
}

[[noreturn]] void type_error(const char* function, const char* argument, const char* expected, nanobind::handle got);

// An unsigned integer of at most `max`; bool counts as int, as in Python.
std::uint64_t unsigned_arg(const char* function, const char* argument, nanobind::handle value, std::uint64_t max);

template <class T>
T unsigned_as(const char* function, const char* argument, nanobind::handle value) {
    return static_cast<T>(unsigned_arg(function, argument, value, std::numeric_limits<T>::max()));
}

template <class T>
std::optional<T> optional_unsigned_as(const char* function, const char* argument, nanobind::handle value) {
    if (value.is_none()) return std::nullopt;
    return unsigned_as<T>(function, argument, value);
}

// Raises the built-in exception `type` with `message`.
[[noreturn]] void raise_message(PyObject* type, const std::string& message);

std::string str_arg(const char* function, const char* argument, nanobind::handle value);

}  // namespace vexlor::python
