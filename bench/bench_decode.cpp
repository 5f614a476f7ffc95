// Decoder throughput on a full 4000-dpi 135 frame: MB/s of input for each case and chunk size,
// beside a memcpy of the same bytes in the same chunks in the same run, the scale the figures
// are read against on the machine at hand. Times are the thread's CPU time, best of a few runs:
// on a machine shared with other work, time taken away from the benchmark does not count
// against it (what the other work does to the caches still does).
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "protocol/decode.hpp"

using namespace vexlor::protocol;

namespace {

struct Case {
    const char* name;
    std::uint8_t readings;
    std::uint8_t ccd_lines;
    std::uint32_t line_gap;
    bool curves;
};

image::Layout layout_for(const Case& c) {
    using K = window::Channel::Kind;
    image::Layout l;
    l.channels = {window::Channel::of(K::Red), window::Channel::of(K::Green), window::Channel::of(K::Blue),
                  window::Channel::of(K::Infrared)};
    l.pixels = 3950;
    l.lines = 5808;  // a multiple of every block height below
    l.sample_bytes = 2;
    l.bits = 16;
    l.readings = c.readings;
    l.ccd_lines = c.ccd_lines;
    l.line_gap = c.line_gap;
    l.interleaving = c.ccd_lines >= 2 ? caps::set_window::interleaving::MULTILINE_SIMULTANEOUS
                                      : caps::set_window::interleaving::LINE_WITHOUT_DISTANCE;
    return l;
}

constexpr int REPEATS = 5;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Keeps the copies from being dropped as stores nobody reads.
void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

// The same bytes copied in the same chunks into a buffer as large, best of a few runs, in MB/s.
double memcpy_rate(const std::vector<std::uint8_t>& stream, std::size_t chunk) {
    std::vector<std::uint8_t> copy(stream.size());  // zero-filled, so no page is first touched while timed
    double best = 1e30;
    for (int rep = 0; rep < REPEATS; ++rep) {
        const double start = cpu_seconds();
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            std::memcpy(copy.data() + at, stream.data() + at, std::min(chunk, stream.size() - at));
        }
        keep(copy.data());
        best = std::min(best, cpu_seconds() - start);
    }
    return stream.size() / best / 1e6;
}

// chunk 0 pushes one block at a time.
void run(const Case& c, std::size_t chunk) {
    const auto layout = layout_for(c);
    auto decoder = decode::Decoder::make(layout);
    if (!decoder) {
        std::printf("%s: cannot build a decoder\n", c.name);
        return;
    }
    const std::uint64_t bytes = decoder->block_bytes() * (layout.lines / (decoder->rows() * decoder->gap()));
    if (chunk == 0) chunk = decoder->block_bytes();
    std::vector<std::uint8_t> stream(bytes);
    std::mt19937 rng(7);
    for (auto& b : stream) b = static_cast<std::uint8_t>(rng());

    std::shared_ptr<const curves::Curves> table;
    if (c.curves) {
        auto cv = std::make_shared<curves::Curves>();
        for (int t = 0; t < c.ccd_lines; ++t) {
            std::vector<std::uint16_t> row(65536);
            for (std::uint32_t v = 0; v < 65536; ++v) row[v] = static_cast<std::uint16_t>(std::min<std::uint32_t>(65535, v + t));
            cv->tables.push_back(std::move(row));
        }
        table = cv;
    }

    decode::Samples samples;
    double best = 1e30;
    for (int rep = 0; rep < REPEATS; ++rep) {
        auto d = decode::Decoder::make(layout);
        d->curves = table;
        samples.resize_for(*d);
        const double start = cpu_seconds();
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - at);
            if (!d->push(std::span(stream).subspan(at, n), samples)) std::abort();
        }
        best = std::min(best, cpu_seconds() - start);
    }
    const double decoded = bytes / best / 1e6;
    const double copied = memcpy_rate(stream, chunk);
    std::printf("%-40s chunk %8zu B: %6.0f MB/s, memcpy %6.0f MB/s (%3.0f%%), %.1f MB in %.1f ms\n", c.name, chunk,
                decoded, copied, 100 * decoded / copied, bytes / 1e6, best * 1e3);
}

}  // namespace

int main() {
    const Case cases[] = {
        {"1 reading, RGBI 16-bit", 1, 1, 0, false},
        {"4 readings per line, RGBI 16-bit", 4, 1, 0, false},
        {"per-row curves, 3 CCD rows, MULTILINE", 1, 3, 8, true},
    };
    for (const auto& c : cases) {
        // One block at a time, then the USB link's largest READ, the SG reserved buffer, and 1 MiB.
        for (std::size_t chunk : {std::size_t{0}, std::size_t{131072}, std::size_t{524288}, std::size_t{1} << 20}) run(c, chunk);
    }
}
