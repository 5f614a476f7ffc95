// The stream decoder on arbitrary layouts and streams: the first bytes describe a small layout,
// the rest is pushed in chunks whose sizes the input chooses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "protocol/decode.hpp"

using namespace vexlor::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    image::Layout l;
    const std::size_t channels = 1 + data[0] % 5;
    for (std::size_t i = 0; i < channels; ++i) l.channels.emplace_back((data[1] >> i) & 1 ? 9 : static_cast<std::uint8_t>(1 + i));
    l.pixels = data[2] % 64;
    l.lines = data[3] % 64;
    l.readings = data[4] % 5;
    l.sample_bytes = data[5] % 5;
    l.interleaving = caps::set_window::ColorInterleaving::from_bits_retain(data[6]);
    l.ccd_lines = data[7] % 5;
    l.line_gap = data[8] % 5;
    l.y_pitch = 1;
    l.bits = 16;

    auto d = decode::Decoder::make(l);
    if (!d) return 0;
    if (size > 9 && (data[9] & 1)) {
        auto c = std::make_shared<curves::Curves>();
        c->tables.assign(data[9] % 4, std::vector<std::uint16_t>(data[9] & 2 ? 65536 : 300, 123));
        d->curves = c;
    }
    decode::Samples s;
    s.resize_for(*d);

    std::size_t at = 10;
    while (at < size) {
        const std::size_t n = std::min<std::size_t>(1 + data[at] * 3, size - at - 1);
        ++at;
        if (!d->push(std::span(data + at, n), s)) std::abort();
        at += n;
    }
    if (d->blocks() > l.lines) std::abort();
    auto img = decode::Image::partial(l, s, d->blocks());
    if (!img) std::abort();
    s.to_full_scale(static_cast<std::uint8_t>(data[5]));
    return 0;
}
