// The extension module: its members are added in a fixed order, classes first, then the
// functions, then the exception classes.
#include <nanobind/nanobind.h>

#include "python/devices.hpp"
#include "python/errors.hpp"
#include "python/logging.hpp"
#include "python/session.hpp"

namespace nb = nanobind;

namespace vexlor::python {

void vexlor_module(nb::module_& m) {
    add_device_class(m);
    // Capabilities goes before Session; ScanResult and Discovery after it.
    add_session_class(m);
    add_list_devices(m);
    add_init_logging(m);
    add_exceptions(m);
}

}  // namespace vexlor::python

NB_MODULE(vexlor, m) {
    m.attr("__doc__") = "";
    vexlor::python::vexlor_module(m);
}
