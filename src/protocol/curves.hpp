// CCD correction curves: one lookup table per colour mapping a raw sample of that colour onto
// the response of the reference colour, so rows read at once agree with each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/caps/ccd.hpp"

namespace vexlor::protocol::curves {

inline constexpr std::size_t TABLE_SIZE = 65536;

struct Curves {
    // One table of TABLE_SIZE entries per colour, in colour order.
    std::vector<std::vector<std::uint16_t>> tables;

    // Absent when the record does not match the page that describes it. `step` as for `table`.
    static std::optional<Curves> parse(const caps::ccd::CcdMeasurement& measurement,
                                       std::span<const std::uint16_t> words, std::size_t colours, std::size_t first,
                                       std::size_t step = 1);
    bool operator==(const Curves&) const = default;
};

// The piecewise-linear map through the points (xs[j], ys[j]), identity below the first point,
// the last segment extrapolated, clamped to 16 bits. Fewer than two points give the identity.
// A `step` above 1 keeps only every step-th input (entry k maps input k * step): the fuzzing
// harness builds short tables over the whole range.
std::vector<std::uint16_t> table(std::span<const std::uint16_t> xs, std::span<const std::uint16_t> ys,
                                 std::size_t step = 1);

}  // namespace vexlor::protocol::curves
