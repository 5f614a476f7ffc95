// The SET WINDOW parameter list and GET WINDOW reply framing around the window descriptors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/data.hpp"
#include "protocol/image.hpp"
#include "protocol/window.hpp"

namespace vexlor::session::window {

// A pass the unit has started: its geometry and what the unit asked for while starting it.
struct Started {
    protocol::image::Layout layout;
    std::vector<protocol::data::CooperativeAction> actions;  // in arrival order
};

inline constexpr std::size_t HEADER = 8;  // both lists put 8 bytes before the descriptors
inline constexpr std::size_t SET_WINDOW_LIST = HEADER + protocol::window::Window::size;

// 00 00 00 00 00 00 00 32 and the descriptor.
std::array<std::uint8_t, SET_WINDOW_LIST> set_window_list(const protocol::window::Window& w);

// "(ulx, uly)" and "(width, length)" as the events print them.
std::string origin_text(const protocol::window::Window& w);
std::string size_text(const protocol::window::Window& w);

}  // namespace vexlor::session::window
