// Builds CCD correction curves from arbitrary records: the first five bytes give the point
// count, curves per colour, colours, the row used and the table's step; the rest are big-endian
// words. Also builds one table from the words split into xs and ys. Nothing may crash; every
// table has one entry per step-th input, and a table at twice the step holds every other entry.
//
// Full tables (65,536 entries each, up to nine of them an input) leave the fuzzer a few dozen
// inputs a second; a step of 64 to 512 keeps the whole 16-bit range of the points in play for
// 1/64 of the work or less, through the same code.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/curves.hpp"

using namespace vexlor::protocol;

namespace {

void expect_length(const std::vector<std::uint16_t>& t, std::size_t step) {
    if (t.size() != (curves::TABLE_SIZE + step - 1) / step) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    caps::ccd::CcdMeasurement m;
    m.values.assign(data[0], 0);
    m.curves = data[1];
    const std::size_t colours = data[2] % 9;
    const std::size_t first = data[3];
    const std::size_t step = std::size_t{64} << (data[4] % 4);
    std::vector<std::uint16_t> words;
    for (std::size_t i = 5; i + 1 < size; i += 2) words.push_back(static_cast<std::uint16_t>((data[i] << 8) | data[i + 1]));

    if (const auto c = curves::Curves::parse(m, words, colours, first, step)) {
        if (c->tables.size() != colours) std::abort();
        for (const auto& t : c->tables) expect_length(t, step);
    }

    const std::size_t half = words.size() / 2;
    const auto xs = std::span(words).first(half), ys = std::span(words).subspan(half);
    const auto t = curves::table(xs, ys, step);
    expect_length(t, step);
    // Which inputs the table visits changes none of their entries.
    const auto coarse = curves::table(xs, ys, 2 * step);
    expect_length(coarse, 2 * step);
    for (std::size_t k = 0; k < coarse.size(); ++k) {
        if (coarse[k] != t[2 * k]) std::abort();
    }
    return 0;
}
