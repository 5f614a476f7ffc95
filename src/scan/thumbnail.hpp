// The thumbnail pass of frame discovery: its windows, and what is made of its image.
#pragma once

#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/window.hpp"

namespace vexlor::scan::thumbnail {

// The window set of a low-resolution pass along the whole loaded strip; never infrared.
error::Result<std::vector<protocol::window::Window>> windows(const protocol::caps::Capabilities& caps);

}  // namespace vexlor::scan::thumbnail
