// init_logging: the one switch that sends diagnostics to standard error.
#pragma once

#include <nanobind/nanobind.h>

namespace vexlor::python {

void add_init_logging(nanobind::module_& m);

}  // namespace vexlor::python
