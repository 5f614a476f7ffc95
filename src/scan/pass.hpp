// One finished pass. The sample planes are the caller's; this is what the pass says about them.
#pragma once

#include <cstddef>

#include "session/window.hpp"

namespace vexlor::scan::pass {

struct Pass {
    session::window::Started started;
    std::size_t blocks = 0;
    std::size_t rows = 0;  // pixels per line: rows of each plane
    std::size_t cols = 0;  // lines of the pass: columns of each plane
    bool complete = false;
};

}  // namespace vexlor::scan::pass
