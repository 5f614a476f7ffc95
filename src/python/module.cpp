// The extension module: its members are added in a fixed order, classes first, then the
// functions, then the exception classes.
#include <nanobind/nanobind.h>

#include "python/capabilities.hpp"
#include "python/devices.hpp"
#include "python/errors.hpp"
#include "python/logging.hpp"
#include "python/scanning.hpp"
#include "python/session.hpp"

namespace nb = nanobind;

namespace vexlor::python {

void vexlor_module(nb::module_& m) {
    watch_exit();
    add_device_class(m);
    add_capabilities_class(m);
    add_session_class(m);
    add_scan_result_class(m);
    add_discovery_class(m);
    add_list_devices(m);
    add_init_logging(m);
    add_exceptions(m);
}

}  // namespace vexlor::python

NB_MODULE(vexlor, m) {
    m.attr("__doc__") = "";
    vexlor::python::vexlor_module(m);
}
