// Builds CCD correction curves from arbitrary records: the first four bytes give the point
// count, curves per colour, colours and the row used; the rest are big-endian words. Also builds
// one table from the words split into xs and ys. Nothing may crash; every table is full size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/curves.hpp"

using namespace vexlor::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    caps::ccd::CcdMeasurement m;
    m.values.assign(data[0], 0);
    m.curves = data[1];
    const std::size_t colours = data[2] % 9;  // keeps each run fast; the arithmetic is the same
    const std::size_t first = data[3];
    std::vector<std::uint16_t> words;
    for (std::size_t i = 4; i + 1 < size; i += 2) words.push_back(static_cast<std::uint16_t>((data[i] << 8) | data[i + 1]));

    if (const auto c = curves::Curves::parse(m, words, colours, first)) {
        if (c->tables.size() != colours) std::abort();
        for (const auto& t : c->tables) {
            if (t.size() != curves::TABLE_SIZE) std::abort();
        }
    }

    const std::size_t half = words.size() / 2;
    const auto t = curves::table(std::span(words).first(half), std::span(words).subspan(half));
    if (t.size() != curves::TABLE_SIZE) std::abort();
    return 0;
}
