#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(vexlor, m) {
    (void)m;
}
