// Argument conversion with the errors a Python caller expects: a TypeError naming the
// argument for a wrong type, an OverflowError for an integer outside its range.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>

namespace vexlor::python {

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

std::string str_arg(const char* function, const char* argument, nanobind::handle value);

}  // namespace vexlor::python
