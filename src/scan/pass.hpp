// One finished pass. The sample planes are the caller's; this is what the pass says about them.
#pragma once

#include <cstddef>

#include "error.hpp"
#include "protocol/decode.hpp"
#include "session/window.hpp"

namespace vexlor::scan::pass {

struct Pass {
    session::window::Started started;
    std::size_t blocks = 0;
    std::size_t rows = 0;  // pixels per line: rows of each plane
    std::size_t cols = 0;  // lines of the pass: columns of each plane
    bool complete = false;

    // Output lines the decoded blocks filled.
    std::uint64_t lines_decoded() const;
    // The view of the samples up to the last column holding any colour data.
    error::Result<protocol::decode::Image> image(const protocol::decode::Samples& samples) const;
};

}  // namespace vexlor::scan::pass
