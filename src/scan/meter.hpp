// Host metering: a level per window at a percentile, and the exposure times that drive each
// level to a fraction of full scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "protocol/caps/caps.hpp"
#include "protocol/decode.hpp"
#include "protocol/window.hpp"

namespace vexlor::scan::meter {

struct Metering {
    float target = 0.97f;
    float percentile = 0.999f;
    bool lock_white_balance = false;
    std::size_t max_passes = 3;

    std::vector<std::optional<std::uint16_t>> measure(const protocol::decode::Image& image,
                                                      std::span<const protocol::window::Window> windows) const;
    error::Result<std::vector<std::uint32_t>> apply(const protocol::caps::Capabilities& caps,
                                                    const protocol::decode::Image& image,
                                                    std::span<const protocol::window::Window> windows) const;
    bool operator==(const Metering&) const = default;
};

// The level of a plane at a percentile; none for an empty plane.
std::optional<std::uint16_t> tail(std::span<const std::uint16_t> plane, float percentile);

// 2^bits - 1 for 1 to 15 bits, else 65535.
std::uint16_t full_scale(std::uint8_t bits);

std::string debug_string(const Metering& m);

}  // namespace vexlor::scan::meter
