// The Python Device class and list_devices.
#pragma once

#include <nanobind/nanobind.h>

namespace vexlor::python {

void add_device_class(nanobind::module_& m);
void add_list_devices(nanobind::module_& m);

}  // namespace vexlor::python
