#include "python/logging.hpp"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "diag/output.hpp"
#include "python/args.hpp"
#include "python/callables.hpp"
#include "transport/usb.hpp"

namespace nb = nanobind;

namespace vexlor::python {

namespace {

constexpr const char* doc =
    "init_logging(level=None)\n--\n\n"
    "Send this library's diagnostics to standard error.\n"
    "\n"
    "The library installs no output by itself: without this call the diagnostics of the\n"
    "session, scanning, transport and protocol modules go nowhere when the library is used\n"
    "from another program. `level` sets the default level (\"info\" when omitted); the\n"
    "RUST_LOG environment variable always overrides it and can select modules by path, for\n"
    "example \"vexlor::cdb=trace\". Safe to call more than once: later calls do nothing.";

void note_to_stderr(const std::string& note) {
    std::string line = note + "\n";
    [[maybe_unused]] auto n = ::write(2, line.data(), line.size());
}

void init_logging(nb::handle level) {
    std::string level_text = "info";
    if (!level.is_none()) {
        if (!PyUnicode_Check(level.ptr())) {
            PyErr_Format(PyExc_TypeError, "init_logging(): argument 'level' must be str or None, not %s",
                         Py_TYPE(level.ptr())->tp_name);
            throw nb::python_error();
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(level.ptr(), &size);
        if (!utf8) throw nb::python_error();
        level_text.assign(utf8, static_cast<std::size_t>(size));
    }
    if (vexlor::diag::installed()) return;
    std::optional<std::string> rust_log;
    if (const char* v = std::getenv("RUST_LOG")) rust_log = v;
    auto filter = vexlor::diag::choose_filter(rust_log, level_text, note_to_stderr);
    // Another component may have installed an output first; then nothing changes.
    if (vexlor::diag::install(vexlor::diag::text_output(std::move(filter), ::isatty(2) == 1))) {
        transport::usb::forward_library_log();
    }
}

PyObject* init_logging_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        static const char* const names[] = {"level", nullptr};
        PyObject* level = Py_None;
        parse_args(args, kwargs, "|O:init_logging", names, &level);
        init_logging(level);
        return nb::none();
    });
}

PyMethodDef init_logging_def{"init_logging", c_function(&init_logging_entry), METH_VARARGS | METH_KEYWORDS, doc};

}  // namespace

void add_init_logging(nb::module_& m) { add_function(m, init_logging_def); }

}  // namespace vexlor::python
